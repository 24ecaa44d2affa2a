// The firmware update without a window: the file's checks, then its images block by block, then the
// finish. The caller supplies the sending and hears of the progress through callbacks.
#pragma once

#include "core/mailbox.h"
#include "update/update_file.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

class Link;

// Every block carries this many data bytes, the last one padded with 0xFF.
inline constexpr int update_block_size = 512;
// A flash block whose address has none of these bits set is erased before it is written.
inline constexpr uint16_t update_erase_mask = 0x1FF;

// A waited-for send, returning its result; and a send that is not waited for.
using UpdateSend = std::function<bool(const Request&)>;
using UpdatePost = std::function<void(const Request&)>;

// What the routine tells its caller; every callback may be empty.
struct UpdateSteps {
    // The file is accepted and its images built: the first block is about to go.
    std::function<void()> sending;
    // After each block: image bytes sent over all image bytes, in percent, rounded half to even.
    std::function<void(int percent)> progress;
    // Asked before each block: false stops the update there, between two blocks, never inside one.
    std::function<bool()> go_on;
};

enum class UpdateOutcome {
    sent,            // every block written and cmd_finish posted
    wrong_file,      // the file's name does not match the unit's: nothing sent
    unreadable_file, // the file cannot be read or breaks the format: nothing sent, `error` says why
    block_failed,    // a block's write failed: the rest not sent, no cmd_finish
    stopped,         // go_on said no before a block: the rest not sent, no cmd_finish
};

struct UpdateResult {
    UpdateOutcome outcome = UpdateOutcome::sent;
    QString error;       // for unreadable_file, the text for the operator
    Tinf header;         // the file's header record, once it has been read
    int blocks_sent = 0; // blocks the unit took
};

// Checks `file` against the unit's name (as shown, "(boot)" included), sends its flash image then
// its EEPROM image block by block through `send`, then posts cmd_finish through `post`. The unit's
// answer to cmd_finish arrives later through the reply dispatch, not here.
UpdateResult run_update(const QString& file, const QString& unit_name, const UpdateSteps& steps,
                        const UpdateSend& send, const UpdatePost& post);

// The same for a file read and checked beforehand: only the name is checked here.
UpdateResult run_update(const UpdatePackage& package, const QString& unit_name, const UpdateSteps& steps,
                        const UpdateSend& send, const UpdatePost& post);

// The post that the update window and the command line give run_update: device changes wait until the
// unit has answered cmd_finish (hold_for_answer), so discovery cannot close the unit under its answer.
UpdatePost post_holding_for_answer(Link& link);

// The block operations the routine is made of; each returns the result of sending its own last request.
bool send_erase(uint16_t address, const UpdateSend& send);
// Erases first when `address` starts an erase unit; the erase's result is not examined.
bool send_flash_block(uint16_t address, const QByteArray& block, const UpdateSend& send);
bool send_eep_block(uint16_t address, const QByteArray& block, const UpdateSend& send);
