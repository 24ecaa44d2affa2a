// monitor: the block printed whenever it changes, polled as the window polls, until interrupted.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/console.h"
#include "cli/unit_choice.h"
#include "cli/unit_session.h"
#include "core/timings.h"
#include "protocol/USB.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {
int interrupt_pipe[2] = {-1, -1};

void on_signal(int) {
    const char byte = 1;
    (void)!::write(interrupt_pipe[1], &byte, 1); // the only thing safe to do here
}
} // namespace

int run_monitor(const Invocation& inv) {
    return for_each_unit(inv, [&](const FoundUnit&, QString& why) {
        if (::pipe2(interrupt_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            why = QStringLiteral("не удалось создать канал для сигналов: %1").arg(qt_error_string(errno));
            return exit_failed;
        }
        bool interrupted = false;
        QSocketNotifier notifier(interrupt_pipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] { interrupted = true; });
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);

        std::optional<TparBytes> last;
        bool was_open = true;
        unit_session::on_block([&](const TparBytes& block) {
            if (block == last)
                return;
            last = block;
            const QString now = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
            if (inv.json) {
                QJsonObject o = block_json(unit_session::opened(), block);
                o.insert(QStringLiteral("time"), now);
                console::out(json_line(o));
            } else {
                console::out(now);
                for (const QString& line : block_lines(unit_session::opened(), block))
                    console::out(line);
            }
        });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            // A unit that went away is told once, and again when it is back (discovery reopens it).
            if (unit_session::is_open() != was_open) {
                was_open = unit_session::is_open();
                console::err(was_open ? QStringLiteral("блок снова подключён")
                                      : QStringLiteral("блок отключён"));
            }
            poll_settings();
        });
        poll_settings();
        poll.start(timings::settings_poll);
        unit_session::wait_until([&] { return interrupted; }, std::chrono::hours(24 * 365));
        unit_session::on_block(nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        ::close(interrupt_pipe[0]);
        ::close(interrupt_pipe[1]);
        return exit_done;
    });
}
