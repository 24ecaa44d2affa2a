// monitor: the block printed whenever it changes, polled as the window polls, until interrupted.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/console.h"
#include "cli/interrupts.h"
#include "cli/settings_document.h"
#include "cli/unit_choice.h"
#include "cli/unit_session.h"
#include "core/timings.h"

#include <QDateTime>
#include <QTimer>

namespace {
// Local time with its offset from UTC, so that lines from units in several time zones (or across a
// change of summer time) still sort and compare.
QString now() {
    const QDateTime local = QDateTime::currentDateTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}
} // namespace

int run_monitor(const Invocation& inv, UnitSession& session) {
    return for_each_unit(session, inv, [&](const FoundUnit& unit, QString&) {
        const interrupts::Signals::Hold hold(session.stop_signals);
        std::optional<TparBytes> last;
        bool was_open = true;
        session.on_block([&](const TparBytes& block) {
            if (block == last)
                return;
            last = block;
            if (inv.json) {
                QJsonObject o = block_json(session.opened(), block);
                o.insert(QStringLiteral("event"), QStringLiteral("settings"));
                o.insert(QStringLiteral("time"), now());
                console::out(json_line(o));
            } else {
                console::out(now());
                for (const QString& line : block_lines(session.opened(), block))
                    console::out(line);
            }
        });
        bool was_boot = session.in_boot_loader();
        // A line of its own for each change of mode: JSON, or a line on standard error.
        const auto tell = [&](const char* event, const QString& text) {
            if (!inv.json) {
                console::err(QStringLiteral("%1: %2").arg(now(), text));
                return;
            }
            QJsonObject o{{QStringLiteral("schema_version"), settings_document::schema_version},
                          {QStringLiteral("event"), QLatin1String(event)},
                          {QStringLiteral("serial"), unit.identity.serial},
                          {QStringLiteral("time"), now()}};
            if (session.is_open())
                o.insert(QStringLiteral("version"), session.opened().version);
            console::out(json_line(o));
        };
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            // A unit that went away is told once, and again when it is back (discovery reopens it); so is
            // one that went into its boot loader or came out of it.
            if (session.is_open() != was_open) {
                was_open = session.is_open();
                tell(was_open ? "connected" : "disconnected",
                     was_open ? QStringLiteral("блок снова подключён") : QStringLiteral("блок отключён"));
            }
            if (session.is_open() && session.in_boot_loader() != was_boot) {
                was_boot = session.in_boot_loader();
                tell(was_boot ? "boot_loader" : "normal", was_boot
                                                              ? QStringLiteral("блок в режиме загрузчика")
                                                              : QStringLiteral("блок в обычном режиме"));
            }
            session.link.poll_settings();
        });
        session.link.poll_settings();
        poll.start(timings::settings_poll);
        session.wait_until([&session] { return session.stop_signals.requested(); },
                           std::chrono::hours(24 * 365));
        session.on_block(nullptr);
        return exit_done;
    });
}
