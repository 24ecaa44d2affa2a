// The message frame and its cutting into output reports: pure functions, shared with the virtual unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Bytes of message carried by one report, and the report's size including its ID.
inline constexpr std::size_t chunk_size = 58;
inline constexpr std::size_t report_size = 65;
using Report = std::array<uint8_t, report_size>;

// Command, big-endian payload length, payload, big-endian CRC. Throws std::length_error when the
// message would exceed 65,535 bytes.
std::vector<uint8_t> build_message(uint8_t cmd, std::span<const uint8_t> payload);

// Cuts a message into output reports (ID 1, offset, total = message length, 58-byte chunk).
void cut_reports(std::span<const uint8_t> message, const std::function<void(const Report&)>& out);
