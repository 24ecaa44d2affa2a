// rv390pkta-cli: the unit's settings and firmware from the command line, through the utility's own link.
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/unit_session.h"
#include "rv390pkta_version.h"

#include <QCoreApplication>

#include <iostream>
#include <utility>

namespace {
int run(const Invocation& inv) {
    // The arguments have already named a known command; update is the one left.
    const std::pair<const char*, int (*)(const Invocation&)> commands[] = {
        {"list", run_list},   {"show", run_show}, {"monitor", run_monitor}, {"set", run_set},
        {"reset", run_reset}, {"save", run_save}, {"load", run_load}};
    for (const auto& [name, command] : commands)
        if (inv.command == QLatin1String(name))
            return command(inv);
    return run_update(inv);
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // The window's name: the settings backups of updates go to the same folder, whichever program made them.
    QCoreApplication::setApplicationName(QStringLiteral("rv390pkta"));
    Invocation inv;
    try {
        inv = parse_arguments(QCoreApplication::arguments().mid(1));
    } catch (const UsageError& e) {
        console::err(QString::fromStdString(e.what()));
        console::err(QStringLiteral("справка: rv390pkta-cli --help"));
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
    QString error;
    if (!unit_session::start(error)) {
        console::err(QStringLiteral("Не удалось инициализировать USB! %1").arg(error));
        return exit_failed;
    }
    const int status = run(inv);
    unit_session::stop();
    return status;
}
