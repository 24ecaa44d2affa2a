// What the utility does with each complete, verified reply of the unit.
#pragma once

#include <cstdint>
#include <span>

// Input thread. `message` is the whole message (type, length, payload, CRC), at least 58 bytes.
void reply_dispatch(std::span<const uint8_t> message);
