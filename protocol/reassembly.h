// Rebuilding the unit's messages from its input reports; no Qt, so the fuzzer takes it as it is.
#pragma once

#include "hidlib/HIDtypes.h"
#include "protocol/framing.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Rebuilds messages from input reports: chunks are stored at their report's offset until a report's
// offset is not below its total field; the message is then checked by length and CRC.
class Reassembler {
public:
    // The complete, verified message, or nothing (incomplete, or dropped and forgotten).
    std::optional<std::vector<uint8_t>> feed(const THIDreport& report);
    std::size_t buffered() const { return buffer_.size(); }

private:
    std::vector<uint8_t> buffer_;
};
