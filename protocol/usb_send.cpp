// Framing a request as a message and sending it as a run of output reports.
#include "core/link_flags.h"
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/HID.h"
#include "protocol/USB.h"
#include "protocol/commands.h"
#include "protocol/crc.h"
#include "ui/settings.h"

#include <QString>

#include <algorithm>
#include <cstring>
#include <stdexcept>

bool usb_send(const Request& r) {
    bool result = false;
    uint64_t edit = 0;
    Tpar block{};
    if (dev_open.load(std::memory_order_acquire)) {
        try {
            std::vector<uint8_t> message;
            if (r.of_par) {
                block = par.take_for_writing(edit); // one consistent block
                message = build_message(r.cmd, to_bytes(block));
            } else {
                message = build_message(r.cmd, r.data);
            }
            // A refused report does not stop the rest; the last one decides the result.
            cut_reports(message,
                        [&](const Report& report) { result = hid.HIDSetOutputReport(report.data()) != 0; });
        } catch (const std::exception& e) {
            const QString text = QString::fromStdString(e.what());
            post_to_ui([text] {
                if (ui_hooks.error)
                    ui_hooks.error(text);
            });
        }
    }
    if (r.of_par) {
        par.written(edit, block, result);
    } else if (result && par.failing()) {
        // The link is back: the operator's latest block, which could not be written, goes out now.
        return usb_send(Request{cmd_set_par, {}, true}) && result;
    }
    return result;
}
