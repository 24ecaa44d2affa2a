// rv390pkta-cli: the unit's settings and firmware from the command line, through the utility's own link.
#include "cli/arguments.h"
#include "cli/command_table.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/interrupts.h"
#include "cli/json_output.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"
#include "core/ui_handover.h"
#include "rv390pkta_version.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // Before any thread (the application object starts none): every thread inherits the signals
    // blocked, and they come through this.
    interrupts::Signals stop_signals;
    // The window's name: the settings backups of updates go to the same folder, whichever program made them.
    QCoreApplication::setApplicationName(QStringLiteral("rv390pkta"));
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    Invocation inv;
    try {
        inv = parse_arguments(arguments);
    } catch (const UsageError& e) {
        const QString why = QString::fromStdString(e.what());
        console::err(why);
        console::err(QStringLiteral("справка: rv390pkta-cli --help"));
        // A script that asked for JSON gets its error as JSON too, even from a line it got wrong.
        if (arguments.mid(0, arguments.indexOf(QStringLiteral("--"))).contains(QStringLiteral("--json")))
            console::out(json_output::line(json_output::error(exit_usage, QString(), why)));
        return exit_usage;
    }
    if (inv.command == QLatin1String("help")) {
        std::cout << cli_usage().toStdString() << std::flush;
        return exit_done;
    }
    if (inv.command == QLatin1String("version")) {
        std::cout << "rv390pkta-cli " << rv390pkta_version << '\n' << std::flush;
        return exit_done;
    }
    UiHandover ui;
    console::Terminal terminal;
    UnitSession session(ui, stop_signals, terminal);
    QString error;
    if (!session.start(error))
        return command_failed(inv, exit_failed,
                              QStringLiteral("Не удалось инициализировать USB! %1").arg(error));
    // The arguments have named a command of the table; help and version were answered above.
    return command_rule(inv.command)->run(inv, session);
}
