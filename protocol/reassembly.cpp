// Rebuilding a message from the unit's input reports, with its length and CRC checks.
#include "protocol/reassembly.h"
#include "protocol/crc.h"

#include <algorithm>

std::optional<std::vector<uint8_t>> Reassembler::feed(const THIDreport& report) {
    const uint8_t* r = reinterpret_cast<const uint8_t*>(&report);
    const std::size_t offset = static_cast<std::size_t>(r[1]) << 8 | r[2];
    const unsigned total = static_cast<unsigned>(r[3]) << 8 | r[4];
    if (buffer_.size() < offset + chunk_size)
        buffer_.resize(offset + chunk_size);
    std::copy_n(r + 5, chunk_size, buffer_.begin() + static_cast<std::ptrdiff_t>(offset));
    if (offset < total)
        return std::nullopt; // more reports to come

    std::vector<uint8_t> b;
    b.swap(buffer_); // whatever happens next, the next message starts from an empty buffer
    const std::size_t length = static_cast<std::size_t>(b[1]) << 8 | b[2];
    if (length + 5 > b.size())
        return std::nullopt;
    if (crc16(b.data(), length + 3) != (b[length + 3] << 8 | b[length + 4]))
        return std::nullopt;
    return b;
}
