// The command line's hold on the link: the library loaded from memory, one unit opened at a time, and
// waiting (in the event loop) for what the unit answers.
#pragma once

#include "cli/exit_status.h"
#include "protocol/unit_scan.h"
#include "ui/settings_block.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace unit_session {

using std::chrono::milliseconds;

// Loads the carried library (no file is written) and starts the worker. False, with `error` set,
// when the library cannot be loaded.
bool start(QString& error);
// Closes the unit and stops the worker; nothing of the link runs after it returns.
void stop();

// Runs the event loop until `done` holds or `limit` has passed; true when it holds.
bool wait_until(const std::function<bool()>& done, milliseconds limit);

// Opens this unit (by its path, or by its serial number when `by_serial`), as discovery does.
// exit_done when it is open; otherwise the status, with `why` for the operator.
ExitStatus open(const FoundUnit& unit, QString& why, bool by_serial = false);
// What is open now: the identity discovery gave, and whether it runs its boot loader.
const UnitIdentity& opened();
bool is_open();
bool in_boot_loader();

// Asks for the settings block until one comes (at most 2 s): the block as the unit sent it.
std::optional<TparBytes> read_block();

// The block of a unit in its normal firmware (read_block), or why there is none.
ExitStatus read_settings(TparBytes& block, QString& why);

// Writes `wanted` as one block through the link's settings (the window's way), waits for the unit's
// answer, reads the block back and compares. True when the unit holds `wanted`; else `why` lists
// what differs or what did not come.
bool write_block(const Tpar& wanted, QString& why);

// Every settings block the unit sends, as it arrives (for monitor); empty to stop.
void on_block(std::function<void(const TparBytes&)> fn);

// The unit's answer to cmd_finish, once it has come since the last reset_update_result().
std::optional<bool> update_result();
void reset_update_result();

} // namespace unit_session
