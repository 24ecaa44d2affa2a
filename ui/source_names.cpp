// Source list names: each group brings four SDI channels, the rest are the same in every list.
#include "ui/source_names.h"

QStringList source_names(int primary_group, int secondary_group) {
    static const QStringList fixed = {
        QStringLiteral("AES 1L"),   QStringLiteral("AES 1R"), QStringLiteral("AES 2L"),
        QStringLiteral("AES 2R"),   QStringLiteral("AES 3L"), QStringLiteral("AES 3R"),
        QStringLiteral("AES 4L"),   QStringLiteral("AES 4R"), QStringLiteral("ANALOG_L"),
        QStringLiteral("ANALOG_R"), QStringLiteral("1000Hz"), QStringLiteral("500Hz")};
    QStringList names;
    for (int group : {primary_group, secondary_group})
        for (int i = 1; i <= 4; ++i)
            names << QStringLiteral("SDI %1").arg(4 * group + i);
    return names + fixed;
}
