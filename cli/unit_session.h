// The command line's hold on one link: its library instance loaded from memory, one unit opened at a
// time, and waiting (in the event loop) for what the unit answers.
#pragma once

#include "cli/exit_status.h"
#include "protocol/link.h"
#include "protocol/unit_scan.h"
#include "ui/settings_block.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class UiHandover;
namespace interrupts {
class Signals;
}

class UnitSession {
public:
    using milliseconds = std::chrono::milliseconds;
    UnitSession(UiHandover& ui, interrupts::Signals& stop_signals);
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

    Link link;
    // The program's signals: commands hold them where they stop at a point of their own.
    interrupts::Signals& stop_signals;

private:
    // Why no valid reply came: none at all, or replies that failed their checks.
    QString silence() const;
    bool wait_for_reply(const uint64_t& counter, uint64_t after, milliseconds limit, bool repeat_poll);

    UnitIdentity identity_;
    uint64_t discoveries_ = 0; // discovery tells the identity (or none) once each time it runs
    uint64_t echoes_ = 0;      // settings blocks that answered cmd_set_par
    uint64_t polls_ = 0;       // settings blocks that answered cmd_get_par
    TparBytes last_block_{};   // the last settings block of either kind
    std::optional<bool> finish_answer_;
    std::function<void(const TparBytes&)> block_listener_;
    bool started_ = false;
};
