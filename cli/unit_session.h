// The command line's hold on one link: its library instance loaded from memory, one unit opened at a
// time, and waiting (in the event loop) for what the unit answers.
#pragma once

#include "cli/exit_status.h"
#include "protocol/link.h"
#include "protocol/unit_scan.h"
#include "ui/settings_block.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class UiHandover;
namespace interrupts {
class Signals;
}
namespace console {
class Terminal;
}

class UnitSession {
public:
    using milliseconds = std::chrono::milliseconds;
    UnitSession(UiHandover& ui, interrupts::Signals& stop_signals, console::Terminal& terminal);
    ~UnitSession();
    UnitSession(const UnitSession&) = delete;
    UnitSession& operator=(const UnitSession&) = delete;

    // Loads the carried library (no file is written) and starts the worker. False, with `error` set,
    // when the library cannot be loaded.
    bool start(QString& error);
    // Closes the unit and stops the worker; nothing of the link runs after it returns.
    void stop();

    // Runs the event loop until `done` holds or `limit` has passed; true when it holds.
    static bool wait_until(const std::function<bool()>& done, milliseconds limit);

    // Opens this unit (by its path, or by its serial number when `by_serial`), as discovery does.
    // exit_done when it is open; otherwise the status, with `why` for the operator.
    ExitStatus open(const FoundUnit& unit, QString& why, bool by_serial = false);
    // What is open now: the identity discovery gave, and whether it runs its boot loader.
    const UnitIdentity& opened() const { return identity_; }
    bool is_open() const { return link.is_open(); }
    bool in_boot_loader() const { return link.in_boot_loader(); }

    // Asks for the settings block until one comes (at most 2 s): the block as the unit sent it.
    std::optional<TparBytes> read_block();

    // The block of a unit in its normal firmware (read_block), or why there is none.
    ExitStatus read_settings(TparBytes& block, QString& why);

    // Writes `wanted` as one block through the link's settings (the window's way), waits for the unit's
    // answer, reads the block back and compares. True when the unit holds `wanted`; else `why` lists
    // what differs or what did not come.
    bool write_block(const Tpar& wanted, QString& why);

    // Every settings block the unit sends, as it arrives (for monitor); empty to stop.
    void on_block(std::function<void(const TparBytes&)> fn) { block_listener_ = std::move(fn); }

    // The unit's answer to cmd_finish, once it has come since the last reset_update_result().
    std::optional<bool> update_result() const { return finish_answer_; }
    void reset_update_result() { finish_answer_.reset(); }

    // Whose lines this session prints: the unit's serial (as printable), whether it is one of several
    // (then every line names it), and JSON mode (then lines meant for a person go to standard error, and
    // standard output carries JSON only).
    void speak_for(const QString& serial, bool in_rack, bool json);
    // A line about the unit: "SERIAL: text".
    void tell(const QString& text) const;
    // A line of a listing (a block, differences): prefixed by the serial only in a rack.
    void out(const QString& line) const;
    // Lines of a listing kept together, none of another unit's between them.
    void out_lines(const QStringList& lines) const;
    // The same, the first line a line about the unit (as tell).
    void tell_lines(const QStringList& lines) const;
    // A problem with the unit, on standard error: "SERIAL: text".
    void err(const QString& text) const;
    // A JSON line on standard output, as it is.
    void json_line(const QJsonObject& object) const;
    bool json() const { return json_; }
    const QString& shown_serial() const { return shown_serial_; }

    // What the command found for the open unit, as JSON: collected with the other units' into one
    // document (show, check, apply).
    QJsonObject result;

    Link link;
    // The program's signals: commands hold them where they stop at a point of their own.
    interrupts::Signals& stop_signals;
    // Standard output and error, shared with the sessions of the command's other units.
    console::Terminal& terminal;

private:
    // Why no valid reply came: none at all, or replies that failed their checks.
    QString silence() const;
    // Lines for a person, together, on the stream JSON mode leaves them; each names the unit in a rack,
    // the first always when `first_named`.
    void print(const QStringList& lines, bool first_named) const;
    bool wait_for_reply(const uint64_t& counter, uint64_t after, milliseconds limit, bool repeat_poll);

    UnitIdentity identity_;
    uint64_t discoveries_ = 0; // discovery tells the identity (or none) once each time it runs
    uint64_t echoes_ = 0;      // settings blocks that answered cmd_set_par
    uint64_t polls_ = 0;       // settings blocks that answered cmd_get_par
    TparBytes last_block_{};   // the last settings block of either kind
    std::optional<bool> finish_answer_;
    std::function<void(const TparBytes&)> block_listener_;
    bool started_ = false;
    QString shown_serial_;
    bool in_rack_ = false;
    bool json_ = false;
};
