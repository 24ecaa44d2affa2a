// Message reassembly from output reports and replies cut into input reports, as the unit's firmware does.
#include "sim/unit_link.h"

#include "protocol/commands.h"
#include "protocol/crc.h"
#include "protocol/framing.h"

#include <algorithm>

namespace unit_link {

namespace {
uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
void put_be16(uint8_t* p, std::size_t v) {
    p[0] = static_cast<uint8_t>(v >> 8 & 0xFF);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}
} // namespace

MessageAssembler::Result MessageAssembler::feed(std::span<const uint8_t> report) {
    using Kind = Result::Kind;
    const auto drop = [&](std::string why) {
        reset();
        return Result{Kind::dropped, {}, std::move(why)};
    };
    if (report.size() < 5 + chunk_bytes)
        return drop("short report of " + std::to_string(report.size()) + " bytes");
    if (report[0] != report_id)
        return drop("report ID " + std::to_string(report[0]) + " instead of 1");
    const std::size_t offset = be16(&report[1]);
    const std::size_t total = be16(&report[3]);
    if (total < 5)
        return drop("total field " + std::to_string(total) + " is shorter than any message");
    if (offset >= total)
        return drop("offset " + std::to_string(offset) + " beyond the total " + std::to_string(total));
    if (offset == 0) {
        reset(); // a new message starts; an unfinished one is abandoned
        total_ = total;
    } else if (total_ == 0 || total != total_ || offset != buffer_.size()) {
        const std::size_t expected = total_ == 0 ? 0 : buffer_.size();
        return drop("report out of order (offset " + std::to_string(offset) + ", expected " +
                    std::to_string(expected) + ")");
    }
    const std::size_t n = std::min(chunk_bytes, total - offset);
    buffer_.insert(buffer_.end(), report.begin() + 5, report.begin() + 5 + static_cast<std::ptrdiff_t>(n));
    if (buffer_.size() < total_)
        return {};

    std::vector<uint8_t> message;
    message.swap(buffer_);
    total_ = 0;
    const std::size_t length = be16(&message[1]);
    if (length + 5 != message.size())
        return drop("length field " + std::to_string(length) + " does not fit a message of " +
                    std::to_string(message.size()) + " bytes");
    if (crc16(message.data(), length + 3) != be16(&message[length + 3]))
        return drop("CRC mismatch");
    return {Kind::complete, std::move(message), {}};
}

void MessageAssembler::reset() {
    buffer_.clear();
    total_ = 0;
}

std::vector<uint8_t> reply_message(uint8_t type, std::span<const uint8_t> payload, ReplyShape shape) {
    std::vector<uint8_t> m = build_message(type, payload);
    if (shape.wrong_length)
        put_be16(&m[1], payload.size() + 1);
    if (shape.corrupt_crc)
        m.back() ^= 0xFF;
    return m;
}

std::vector<std::vector<uint8_t>> input_reports(std::span<const uint8_t> message) {
    const std::size_t count = std::max<std::size_t>(1, (message.size() + chunk_bytes - 1) / chunk_bytes);
    const std::size_t total = (count - 1) * chunk_bytes; // 0 for a one-report reply
    std::vector<std::vector<uint8_t>> reports;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> r(report_bytes, 0);
        r[0] = report_id;
        const std::size_t offset = i * chunk_bytes;
        put_be16(&r[1], offset);
        put_be16(&r[3], total);
        const std::size_t n = std::min(chunk_bytes, message.size() - offset);
        std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(offset), n, r.begin() + 5);
        reports.push_back(std::move(r));
    }
    return reports;
}

std::string command_name(uint8_t code) {
    switch (code) {
    case cmd_get_par:
        return "cmd_get_par";
    case cmd_set_par:
        return "cmd_set_par";
    case cmd_erase:
        return "cmd_erase";
    case cmd_write_flash:
        return "cmd_write_flash";
    case cmd_write_eep:
        return "cmd_write_eep";
    case cmd_finish:
        return "cmd_finish";
    case cmd_upd_poll:
        return "cmd_upd_poll";
    case cmd_upd_close:
        return "cmd_upd_close";
    case cmd_defaults:
        return "cmd_defaults";
    default:
        return "unknown";
    }
}

} // namespace unit_link
