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

std::vector<uint8_t> build_message(uint8_t cmd, std::span<const uint8_t> payload) {
    if (payload.size() + 5 > 0xFFFF)
        throw std::length_error("message of " + std::to_string(payload.size() + 5) +
                                " bytes is longer than the link allows (65535)");
    const auto len = static_cast<uint16_t>(payload.size());
    std::vector<uint8_t> m;
    m.reserve(payload.size() + 5);
    m.push_back(cmd);
    m.push_back(static_cast<uint8_t>(len >> 8));
    m.push_back(static_cast<uint8_t>(len & 0xFF));
    m.insert(m.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16(m.data(), m.size());
    m.push_back(static_cast<uint8_t>(crc >> 8));
    m.push_back(static_cast<uint8_t>(crc & 0xFF));
    return m;
}

void cut_reports(std::span<const uint8_t> message, const std::function<void(const Report&)>& out) {
    const auto total = static_cast<uint16_t>(message.size());
    Report report{};
    report[0] = 1;
    std::size_t pos = 0;
    do {
        std::fill(report.begin() + 5, report.begin() + 5 + chunk_size, 0);
        const std::size_t n = std::min(message.size() - pos, chunk_size);
        const uint16_t offset = to_big_endian(static_cast<uint16_t>(pos));
        const uint16_t length = to_big_endian(total);
        std::memcpy(&report[1], &offset, 2);
        std::memcpy(&report[3], &length, 2);
        std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(pos), n, report.begin() + 5);
        out(report);
        pos += n;
    } while (pos < message.size());
}

bool usb_send(const Request& r) {
    bool result = false;
    uint64_t edit = 0;
    if (dev_open.load(std::memory_order_acquire)) {
        try {
            std::vector<uint8_t> message;
            if (r.of_par) {
                const TparBytes block = to_bytes(par.take_for_writing(edit)); // one consistent block
                message = build_message(r.cmd, block);
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
        par.written(edit, result);
    } else if (result && par.failing()) {
        // The link is back: the operator's latest block, which could not be written, goes out now.
        return usb_send(Request{cmd_set_par, {}, true}) && result;
    }
    return result;
}
