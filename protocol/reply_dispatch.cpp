// Acting on replies: settings blocks go to the link's one sink, the update result and the reset
// acknowledgement are told on the user-interface thread.
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/link.h"

#include <algorithm>

void Link::reply_dispatch(std::span<const uint8_t> message) {
    if (message.size() < 3 + sizeof(Tpar))
        return; // shorter than any report carries; nothing to act on
    switch (message[0]) {
    case cmd_get_par:
    case cmd_set_par:
        // The length field is not compared with 17: the block is always bytes 3..19.
        take_settings(message[0], message.subspan<3, sizeof(Tpar)>());
        break;
    case cmd_finish: {
        const bool ok = message[3] != 0;
        ui.release_answer_hold(); // device changes held for this answer may run; the answer goes first
        ui.post(this, [this, ok] { emit update_result(ok); });
        break;
    }
    case cmd_defaults:
        ui.post(this, [this] { emit defaults_reset(); });
        break;
    default:
        break; // other reply types mean nothing to the utility
    }
}

void Link::take_settings(uint8_t command, std::span<const uint8_t, sizeof(Tpar)> bytes) {
    const bool echo = command == cmd_set_par;
    Tpar received = from_bytes(bytes);
    sanitise(received);
    const TparBytes clean = to_bytes(received);
    const bool to_show = par.set_received(clean, echo);
    blocks.received(clean);
    gate.reply_arrived();
    // Most polls' answers change nothing on screen: the window is not woken for those. The answer to
    // a write always is (a list its group change emptied gets its choice back), and so is every block
    // until the gate has let the unit's settings through. Blocks that come while a refresh waits to
    // run are shown by that one.
    if ((to_show || echo || !gate.valid()) && !refresh_posted_.exchange(true))
        ui.post(this, [this] {
            refresh_posted_ = false;
            emit refresh();
        });
    if (!replies_wanted_.load(std::memory_order_relaxed))
        return;
    TparBytes block;
    std::copy(bytes.begin(), bytes.end(), block.begin());
    ui.post(this, [this, command, block] { emit settings_reply(command, block); });
}
