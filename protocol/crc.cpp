// Table-driven CRC-16/MODBUS.
#include "protocol/crc.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> make_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
        table[i] = c;
    }
    return table;
}

constexpr auto table = make_table();
static_assert(table[1] == 0xC0C1 && table[2] == 0xC181 && table[3] == 0x0140);

} // namespace

uint16_t crc16(const uint8_t* data, std::size_t n) {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
    return crc;
}
