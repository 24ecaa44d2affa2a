// show: the settings block of one unit, or of each with --all.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/console.h"
#include "cli/unit_choice.h"
#include "cli/unit_session.h"

#include <QJsonArray>
#include <QJsonDocument>

int run_show(const Invocation& inv, UnitSession& session) {
    QJsonArray shown;
    const int status = for_each_unit(session, inv, [&](const FoundUnit&, QString& why) {
        TparBytes block;
        const ExitStatus read = session.read_settings(block, why);
        if (read != exit_done)
            return read;
        if (inv.json && inv.all)
            shown.append(block_json(session.opened(), block));
        else if (inv.json)
            console::out(
                QString::fromUtf8(QJsonDocument(block_json(session.opened(), block)).toJson()).trimmed());
        else
            for (const QString& line : block_lines(session.opened(), block))
                console::out(line);
        return exit_done;
    });
    if (inv.json && inv.all)
        console::out(QString::fromUtf8(QJsonDocument(shown).toJson()).trimmed());
    return status;
}
