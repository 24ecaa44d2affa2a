// The settings poll, posted on a timer by whoever shows the unit (the main window, or a host without one).
#include "core/link_flags.h"
#include "core/mailbox.h"
#include "protocol/USB.h"
#include "protocol/commands.h"

void poll_settings() {
    if (!boot_mode.load(std::memory_order_acquire))
        mailbox.post(Request{cmd_get_par, {}, false});
}
