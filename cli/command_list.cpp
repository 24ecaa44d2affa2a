// list: every unit connected, its mode and whether it can be opened.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/settings_document.h"
#include "cli/unit_session.h"
#include "protocol/unit_scan.h"

#include <QJsonArray>
#include <QJsonDocument>

int run_list(const Invocation& inv, UnitSession& session) {
    const std::vector<FoundUnit> units = scan_units(session.link.hid);
    if (inv.json) {
        QJsonArray list;
        for (const FoundUnit& u : units)
            list.append(QJsonObject{{QStringLiteral("schema_version"), settings_document::schema_version},
                                    {QStringLiteral("serial"), u.identity.serial},
                                    {QStringLiteral("product"), u.identity.product},
                                    {QStringLiteral("version"), u.identity.version},
                                    {QStringLiteral("mode"), u.boot_loader ? QStringLiteral("boot_loader")
                                                                           : QStringLiteral("normal")},
                                    {QStringLiteral("path"), u.identity.path},
                                    {QStringLiteral("can_open"), u.can_open},
                                    {QStringLiteral("why"), cannot_open_note(u)}});
        console::out(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)).trimmed());
        return exit_done;
    }
    if (units.empty()) {
        console::err(QStringLiteral("не найдено ни одного блока RV-390PKTA"));
        return exit_done;
    }
    // The serial number first: scripts and the shell's completion take the first column.
    const auto row = [](const QString& serial, const QString& version, const QString& mode,
                        const QString& access, const QString& path) {
        return QStringLiteral("%1 %2 %3 %4 %5")
            .arg(serial, -16)
            .arg(version, -7)
            .arg(mode, -10)
            .arg(access, -7)
            .arg(path);
    };
    if (!inv.no_header)
        console::out(row(QStringLiteral("СЕРИЙНЫЙ_НОМЕР"), QStringLiteral("ВЕРСИЯ"), QStringLiteral("РЕЖИМ"),
                         QStringLiteral("ДОСТУП"), QStringLiteral("ПУТЬ")));
    // Blanks in a serial are escaped too, so the first column is always the whole serial; --unit
    // takes it so written.
    for (const FoundUnit& u : units)
        console::out(row(console::printable(u.identity.serial, true), u.identity.version,
                         u.boot_loader ? QStringLiteral("загрузчик") : QStringLiteral("обычный"),
                         u.can_open ? QStringLiteral("есть") : QStringLiteral("нет"),
                         console::printable(u.identity.path)));
    for (const FoundUnit& u : units)
        if (!u.can_open)
            console::err(console::cannot_open(u));
    return exit_done;
}
