// Source list names: each group brings four SDI channels, the rest are the same in every list.
#include "ui/source_names.h"

QStringList source_names(int primary_group, int secondary_group) {
    static constexpr const char* fixed[] = {"AES 1L", "AES 1R", "AES 2L",   "AES 2R",   "AES 3L", "AES 3R",
                                            "AES 4L", "AES 4R", "ANALOG_L", "ANALOG_R", "1000Hz", "500Hz"};
    QStringList names;
    for (int group : {primary_group, secondary_group})
        for (int i = 1; i <= 4; ++i)
            names << QStringLiteral("SDI %1").arg(4 * group + i);
    for (const char* name : fixed)
        names << QLatin1String(name);
    return names;
}
