// monitor: the block printed whenever it changes, polled as the window polls, until interrupted; with
// --all every unit at once in one stream, units that appear later included.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/console.h"
#include "cli/interrupts.h"
#include "cli/json_output.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"
#include "core/timings.h"

#include <QDateTime>
#include <QTimer>

#include <set>

namespace {
// Local time with its offset from UTC, so that lines from units in several time zones (or across a
// change of summer time) still sort and compare.
QString now() {
    const QDateTime local = QDateTime::currentDateTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

ExitStatus monitor_unit(const Invocation& inv, UnitSession& s, const FoundUnit& unit) {
    const interrupts::Signals::Hold hold(s.stop_signals);
    // Followed by serial: a unit plugged back may come with another path.
    if (!unit.identity.serial.isEmpty())
        s.link.choose_unit(unit.identity.serial);
    std::optional<TparBytes> last;
    bool was_open = true;
    s.on_block([&](const TparBytes& block) {
        if (block == last)
            return;
        last = block;
        if (inv.json) {
            QJsonObject o = block_json(s.opened(), block);
            o.insert(QStringLiteral("event"), QStringLiteral("settings"));
            o.insert(QStringLiteral("time"), now());
            s.json_line(o);
        } else {
            s.out_lines(QStringList{now()} + block_lines(s.opened(), block));
        }
    });
    bool was_boot = s.in_boot_loader();
    // A line of its own for each change of mode: JSON, or a line on standard error.
    const auto tell = [&](const char* event, const QString& text) {
        if (!inv.json) {
            s.err(QStringLiteral("%1: %2").arg(now(), text));
            return;
        }
        QJsonObject o = json_output::event(event, unit.identity.serial, {{QStringLiteral("time"), now()}});
        if (s.is_open())
            o.insert(QStringLiteral("version"), s.opened().version);
        s.json_line(o);
    };
    if (inv.all)
        tell("connected", QStringLiteral("блок подключён"));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        // A unit that went away is told once, and again when it is back (discovery reopens it); so is
        // one that went into its boot loader or came out of it.
        if (s.is_open() != was_open) {
            was_open = s.is_open();
            tell(was_open ? "connected" : "disconnected",
                 was_open ? QStringLiteral("блок снова подключён") : QStringLiteral("блок отключён"));
        }
        if (s.is_open() && s.in_boot_loader() != was_boot) {
            was_boot = s.in_boot_loader();
            tell(was_boot ? "boot_loader" : "normal", was_boot ? QStringLiteral("блок в режиме загрузчика")
                                                               : QStringLiteral("блок в обычном режиме"));
        }
        s.link.poll_settings();
    });
    s.link.poll_settings();
    poll.start(timings::settings_poll);
    s.wait_until([&s] { return s.stop_signals.requested(); }, std::chrono::hours(24 * 365));
    s.on_block(nullptr);
    return exit_done;
}
} // namespace

int run_monitor(const Invocation& inv, UnitSession& session) {
    const UnitAct act = [&inv](UnitSession& s, const FoundUnit& unit, QString&) {
        return monitor_unit(inv, s, unit);
    };
    if (!inv.all)
        return for_each_unit(session, inv, act, JsonResults::lines);
    // Every unit on a thread of its own, each watched until the end; a unit that appears later gets
    // its own when the command's link sees it.
    const interrupts::Signals::Hold hold(session.stop_signals);
    UnitJobs jobs(session, inv, act, max_jobs, JsonResults::lines);
    std::set<QString> watched;
    const auto watch = [&](const std::vector<FoundUnit>& units) {
        for (const FoundUnit& unit : units)
            if (watched.insert(unit.identity.serial.isEmpty() ? unit.identity.path : unit.identity.serial)
                    .second)
                jobs.add(unit);
    };
    jobs.until_signal();
    session.link.scan_only();
    QObject::connect(&session.link, &Link::units_found, &session.link, watch);
    const std::vector<FoundUnit> now_connected = scan_units(session.link.hid);
    if (now_connected.empty())
        console::err(QStringLiteral("не найдено ни одного блока RV-390PKTA; жду подключения"));
    watch(now_connected);
    return jobs.finish();
}
