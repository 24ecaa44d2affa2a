// Driving the shared link without windows: the hooks the windows would fill in are filled in here.
#include "cli/unit_session.h"

#include "cli/console.h"
#include "cli/settings_fields.h"

#include "core/Tthr.h"
#include "core/event_wait.h"
#include "core/link_flags.h"
#include "core/mailbox.h"
#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/USB.h"
#include "protocol/commands.h"
#include "protocol/link_health.h"
#include "ui/settings.h"
#include "ui/settings_gate.h"

#include <QTimer>

namespace unit_session {

namespace {
UnitIdentity identity;
uint64_t discoveries = 0; // discovery tells the identity (or none) once each time it runs
uint64_t echoes = 0;      // settings blocks that answered cmd_set_par
uint64_t polls = 0;       // settings blocks that answered cmd_get_par
TparBytes last_block{};   // the last settings block of either kind
std::optional<bool> finish_answer;
std::function<void(const TparBytes&)> block_listener;
bool started = false;
// Discovery may wait behind held device changes, which wait at most for an update's last answer.
constexpr milliseconds discovery_limit = timings::finish_answer * 5;

// Why no valid reply came: none at all, or replies that failed their checks.
QString silence() {
    return link_health::state() == link_health::State::not_understood
               ? QStringLiteral("ответы блока не распознаются (неверная контрольная сумма или длина): "
                                "проверьте кабель и блок")
               : QStringLiteral("блок не отвечает: проверьте питание и кабель");
}

// The reply to a request posted now is one that comes after the replies counted so far.
bool wait_for_reply(const uint64_t& counter, uint64_t after, milliseconds limit, bool repeat_poll) {
    QTimer again;
    if (repeat_poll) {
        QObject::connect(&again, &QTimer::timeout, [] { poll_settings(); });
        poll_settings();
        again.start(timings::settings_poll);
    }
    return wait_until([&] { return counter > after || !dev_open; }, limit) && counter > after;
}
} // namespace

bool start(QString& error) {
    ui_hooks.unit_identity = [](const UnitIdentity& unit) {
        identity = unit;
        ++discoveries;
    };
    // The settings gate opens with the unit's first block, as the main window's refresh opens it.
    ui_hooks.refresh = [] { (void)settings_gate::refreshed(); };
    settings_replies_wanted = true;
    ui_hooks.settings_reply = [](uint8_t command, const std::array<uint8_t, 17>& block) {
        if (command == cmd_set_par)
            ++echoes;
        else
            ++polls;
        last_block = block;
        if (block_listener)
            block_listener(block);
    };
    ui_hooks.update_result = [](bool ok) { finish_answer = ok; };
    ui_hooks.error = [](const QString& text) { qWarning("%s", qPrintable(text)); };
    if (!usb_load(error))
        return false;
    thr.Start();
    started = true;
    return true;
}

void stop() {
    if (!started)
        return;
    thr.Terminate();
    thr.WaitFor();
    usb_shutdown();
    ui_hooks = {};
    started = false;
}

bool wait_until(const std::function<bool()>& done, milliseconds limit) {
    return run_events_until(done, limit);
}

ExitStatus open(const FoundUnit& unit, QString& why, bool by_serial) {
    if (!unit.can_open) {
        why = console::cannot_open(unit);
        return unit.no_permission() ? exit_no_permission : exit_failed;
    }
    identity = {};
    choose_unit(by_serial ? unit.identity.serial : unit.identity.path);
    const uint64_t before = discoveries;
    usb_connect();
    // Discovery runs behind device changes still held on this thread; until it has, the unit open is
    // the one before.
    if (!wait_until([&] { return discoveries != before; }, discovery_limit) || !dev_open) {
        why =
            identity.serial.isEmpty()
                ? QStringLiteral("блок %1 больше не подключён").arg(console::printable(unit.identity.serial))
                : QStringLiteral("блок %1 найден, но не открывается")
                      .arg(console::printable(unit.identity.serial));
        return identity.serial.isEmpty() ? exit_no_unit : exit_failed;
    }
    return exit_done;
}

const UnitIdentity& opened() {
    return identity;
}

bool is_open() {
    return dev_open.load();
}

bool in_boot_loader() {
    return dev_open.load() && boot_mode.load();
}

std::optional<TparBytes> read_block() {
    if (!wait_for_reply(polls, polls, link_health::silence_limit, true))
        return std::nullopt;
    // The link's own copy (`par`) takes the block through the hand-over too: written blocks start from it.
    wait_until([] { return settings_gate::valid(); }, timings::settings_poll);
    return last_block;
}

// A unit in its boot loader has no settings to read; one that does not answer is said to be silent.
ExitStatus read_settings(TparBytes& block, QString& why) {
    if (in_boot_loader()) {
        why = QStringLiteral("блок в режиме загрузчика: настройки недоступны до конца обновления");
        return exit_failed;
    }
    const std::optional<TparBytes> read = read_block();
    if (!read) {
        why = silence();
        return exit_failed;
    }
    block = *read;
    return exit_done;
}

bool write_block(const Tpar& wanted, QString& why) {
    if (!settings_gate::valid() && !read_block()) {
        why = QStringLiteral("блок не прислал своих настроек");
        return false;
    }
    const uint64_t echoes_before = echoes;
    par.edit([&](Tpar& p) { p = wanted; });
    save();
    if (!wait_for_reply(echoes, echoes_before, SharedPar::echo_wait * 2, false)) {
        // Which it was: a write that never left, one the unit did not answer, or answers that were
        // spoilt on the way.
        why = !dev_open ? QStringLiteral("блок отключился")
              : par.failing() ? QStringLiteral("запись не отправлена: блок не принял отчёт")
              : link_health::state() == link_health::State::not_understood
                  ? silence()
                  : QStringLiteral("блок не ответил на запись");
        return false;
    }
    // Read back: the answer to a poll sent after the unit has answered the write.
    const std::optional<TparBytes> held = read_block();
    if (!held) {
        why = QStringLiteral("блок не прислал настроек после записи");
        return false;
    }
    // Compared as the window shows them: a unit's own normalising (an "on" stored as 1) is no refusal.
    const QStringList differ = settings_fields::differences(wanted, from_bytes(*held));
    if (differ.isEmpty())
        return true;
    why = QStringLiteral("блок не принял настройки: ") + differ.join(QStringLiteral("; "));
    return false;
}

void on_block(std::function<void(const TparBytes&)> fn) {
    block_listener = std::move(fn);
}

std::optional<bool> update_result() {
    return finish_answer;
}

void reset_update_result() {
    finish_answer.reset();
}

} // namespace unit_session
