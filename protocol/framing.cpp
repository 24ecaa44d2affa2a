// Framing a message (command, length, payload, CRC) and cutting it into output reports.
#include "protocol/framing.h"

#include "protocol/crc.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

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
