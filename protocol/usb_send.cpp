// Framing a request as a message and sending it as a run of output reports.
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/link.h"

#include <QString>

#include <stdexcept>

bool Link::usb_send(const Request& r) {
    bool result = false;
    if (dev_open.load(std::memory_order_acquire)) {
        try {
            const std::vector<uint8_t> message = build_message(r.cmd, r.data);
            // A refused report does not stop the rest; the last one decides the result.
            cut_reports(message,
                        [&](const Report& report) { result = hid.HIDSetOutputReport(report.data()) != 0; });
        } catch (const std::exception& e) {
            const QString text = QString::fromStdString(e.what());
            ui.post(this, [this, text] { emit error(text); });
        }
    }
    if (r.edit != 0 && r.data.size() == sizeof(Tpar)) {
        par.written(r.edit, from_bytes(std::span<const uint8_t, sizeof(Tpar)>(r.data.data(), sizeof(Tpar))),
                    result);
    } else if (result && par.failing()) {
        // The link is back: the operator's latest block, which could not be written, goes out now.
        return usb_send(write_request()) && result;
    }
    return result;
}
