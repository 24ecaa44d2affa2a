// Driving a link without windows: the signals the windows would take are taken here.
#include "cli/unit_session.h"

#include "cli/console.h"
#include "cli/json_output.h"
#include "cli/settings_fields.h"

#include "core/event_wait.h"
#include "core/timings.h"
#include "protocol/commands.h"

#include <QTimer>

namespace {
// Discovery may wait behind held device changes, which wait at most for an update's last answer.
constexpr std::chrono::milliseconds discovery_limit = timings::finish_answer * 5;
} // namespace

UnitSession::UnitSession(UiHandover& ui, interrupts::Signals& stop_signals, console::Terminal& terminal)
    : link(ui), stop_signals(stop_signals), terminal(terminal) {}

UnitSession::~UnitSession() {
    stop();
}

void UnitSession::speak_for(const QString& serial, bool in_rack, bool json) {
    shown_serial_ = serial;
    in_rack_ = in_rack;
    json_ = json;
}

void UnitSession::tell(const QString& text) const {
    print({text}, true);
}

void UnitSession::out(const QString& line) const {
    print({line}, false);
}

void UnitSession::out_lines(const QStringList& lines) const {
    print(lines, false);
}

void UnitSession::tell_lines(const QStringList& lines) const {
    print(lines, true);
}

void UnitSession::print(const QStringList& lines, bool first_named) const {
    QStringList shown;
    for (qsizetype i = 0; i < lines.size(); ++i)
        shown << (in_rack_ || (first_named && i == 0) ? QStringLiteral("%1: %2").arg(shown_serial_, lines[i])
                                                      : lines[i]);
    const QString text = shown.join(QLatin1Char('\n'));
    json_ ? terminal.err(text) : terminal.out(text);
}

void UnitSession::err(const QString& text) const {
    terminal.err(QStringLiteral("%1: %2").arg(shown_serial_, text));
}

void UnitSession::json_line(const QJsonObject& object) const {
    terminal.out(json_output::line(object));
}

QString UnitSession::silence() const {
    return link.health.state() == link_health::State::not_understood
               ? QStringLiteral("ответы блока не распознаются (неверная контрольная сумма или длина): "
                                "проверьте кабель и блок")
               : QStringLiteral("блок не отвечает: проверьте питание и кабель");
}

// The reply to a request posted now is one that comes after the replies counted so far.
bool UnitSession::wait_for_reply(const uint64_t& counter, uint64_t after, milliseconds limit,
                                 bool repeat_poll) {
    QTimer again;
    if (repeat_poll) {
        QObject::connect(&again, &QTimer::timeout, [this] { link.poll_settings(); });
        link.poll_settings();
        again.start(timings::settings_poll);
    }
    return wait_until([&] { return counter > after || !link.is_open(); }, limit) && counter > after;
}

bool UnitSession::start(QString& error) {
    QObject::connect(&link, &Link::unit_identity, [this](const UnitIdentity& unit) {
        identity_ = unit;
        ++discoveries_;
    });
    // The settings gate opens with the unit's first block, as the main window's refresh opens it.
    QObject::connect(&link, &Link::refresh, [this] { (void)link.gate.refreshed(); });
    link.want_settings_replies();
    QObject::connect(&link, &Link::settings_reply,
                     [this](uint8_t command, const std::array<uint8_t, 17>& block) {
                         if (command == cmd_set_par)
                             ++echoes_;
                         else
                             ++polls_;
                         last_block_ = block;
                         if (block_listener_)
                             block_listener_(block);
                     });
    QObject::connect(&link, &Link::update_result, [this](bool ok) { finish_answer_ = ok; });
    QObject::connect(&link, &Link::error, [](const QString& text) { qWarning("%s", qPrintable(text)); });
    if (!link.usb_load(error))
        return false;
    link.thr.Start();
    started_ = true;
    return true;
}

void UnitSession::stop() {
    if (!started_)
        return;
    link.thr.Terminate();
    link.thr.WaitFor();
    link.usb_shutdown();
    QObject::disconnect(&link, nullptr, nullptr, nullptr);
    started_ = false;
}

bool UnitSession::wait_until(const std::function<bool()>& done, milliseconds limit) {
    return run_events_until(done, limit);
}

ExitStatus UnitSession::open(const FoundUnit& unit, QString& why, bool by_serial) {
    if (!unit.can_open) {
        why = console::cannot_open(unit);
        return unit.no_permission() ? exit_no_permission : exit_failed;
    }
    identity_ = {};
    link.choose_unit(by_serial ? unit.identity.serial : unit.identity.path);
    const uint64_t before = discoveries_;
    link.usb_connect();
    // Discovery runs behind device changes still held on this thread; until it has, the unit open is
    // the one before.
    if (!wait_until([&] { return discoveries_ != before; }, discovery_limit) || !link.is_open()) {
        why =
            identity_.serial.isEmpty()
                ? QStringLiteral("блок %1 больше не подключён").arg(console::printable(unit.identity.serial))
                : QStringLiteral("блок %1 найден, но не открывается")
                      .arg(console::printable(unit.identity.serial));
        return identity_.serial.isEmpty() ? exit_no_unit : exit_failed;
    }
    return exit_done;
}

std::optional<TparBytes> UnitSession::read_block() {
    if (!wait_for_reply(polls_, polls_, link_health::silence_limit, true))
        return std::nullopt;
    // The link's own copy (`par`) takes the block through the hand-over too: written blocks start from it.
    wait_until([this] { return link.gate.valid(); }, timings::settings_poll);
    return last_block_;
}

// A unit in its boot loader has no settings to read; one that does not answer is said to be silent.
ExitStatus UnitSession::read_settings(TparBytes& block, QString& why) {
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

bool UnitSession::write_block(const Tpar& wanted, QString& why) {
    if (!link.gate.valid() && !read_block()) {
        why = QStringLiteral("блок не прислал своих настроек");
        return false;
    }
    const uint64_t echoes_before = echoes_;
    link.par.edit([&](Tpar& p) { p = wanted; });
    link.save();
    if (!wait_for_reply(echoes_, echoes_before, SharedPar::echo_wait * 2, false)) {
        // Which it was: a write that never left, one the unit did not answer, or answers that were
        // spoilt on the way.
        why = !link.is_open() ? QStringLiteral("блок отключился")
              : link.par.failing() ? QStringLiteral("запись не отправлена: блок не принял отчёт")
              : link.health.state() == link_health::State::not_understood
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
