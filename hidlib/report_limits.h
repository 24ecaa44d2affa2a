// How much of a host's 65-byte record a transfer may move, whatever length a device declares.
#pragma once

#include "hidlib/HIDtypes.h"

#include <cstdint>

// The bytes a buffer transfer or an interrupt write moves for a report the device declares `length`
// bytes long: all of it when it fits the record, otherwise 0: refused, never cut short.
inline constexpr uint16_t transfer_length(uint16_t length) {
    return length <= sizeof(THIDreport) ? length : 0;
}

// The bytes of an input report kept in the record: a longer report is cut, the rest dropped.
inline constexpr uint16_t input_length(uint16_t length) {
    return length <= sizeof(THIDreport) ? length : static_cast<uint16_t>(sizeof(THIDreport));
}

// A report length as the one-byte size queries give it: 0 when it does not fit, so that no host sizes
// a buffer from a length cut to its low byte.
inline constexpr uint8_t size_byte(uint16_t length) {
    return length > 0xFF ? 0 : static_cast<uint8_t>(length);
}
