// Acting on replies: settings blocks go into `par`, the update result and the reset acknowledgement
// are shown on the user-interface thread.
#include "protocol/reply_dispatch.h"

#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/unit_blocks.h"
#include "ui/settings.h"
#include "ui/settings_gate.h"

#include <algorithm>

void reply_dispatch(std::span<const uint8_t> message) {
    if (message.size() < 3 + sizeof(Tpar))
        return; // shorter than any report carries; nothing to act on
    switch (message[0]) {
    case cmd_get_par:
    case cmd_set_par: {
        // The length field is not compared with 17: the block is always bytes 3..19.
        const bool echo = message[0] == cmd_set_par;
        const bool to_show = par.set_received(message.subspan<3, sizeof(Tpar)>(), echo);
        {
            Tpar received = from_bytes(message.subspan<3, sizeof(Tpar)>());
            sanitise(received);
            unit_blocks::received(to_bytes(received));
        }
        settings_gate::reply_arrived();
        // Most polls' answers change nothing on screen: the window is not woken for those. The answer to
        // a write always is (a list its group change emptied gets its choice back), and so is every
        // block until the gate has let the unit's settings through.
        if (to_show || echo || !settings_gate::valid())
            mailbox.request_refresh();
        if (!settings_replies_wanted.load(std::memory_order_relaxed))
            break;
        TparBytes block;
        std::copy_n(message.begin() + 3, block.size(), block.begin());
        post_to_ui([command = message[0], block] {
            if (ui_hooks.settings_reply)
                ui_hooks.settings_reply(command, block);
        });
        break;
    }
    case cmd_finish: {
        const bool ok = message[3] != 0;
        release_answer_hold(); // device changes held for this answer may run; the answer goes first
        post_to_ui([ok] {
            if (ui_hooks.update_result)
                ui_hooks.update_result(ok);
        });
        break;
    }
    case cmd_defaults:
        post_to_ui([] {
            if (ui_hooks.defaults_reset)
                ui_hooks.defaults_reset();
        });
        break;
    default:
        break; // other reply types mean nothing to the utility
    }
}
