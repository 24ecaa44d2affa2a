// CRC-16/MODBUS check values and the byte-order helper.
#include "protocol/crc.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {
uint16_t crc_of(std::string_view text) {
    return crc16(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
} // namespace

TEST(Crc16, MatchesTheModbusCheckValues) {
    EXPECT_EQ(crc_of("123456789"), 0x4B37);
    EXPECT_EQ(crc_of("abc"), 0x5749);
    EXPECT_EQ(crc_of(""), 0xFFFF);
}

TEST(Crc16, OfTheSettingsPollHeaderIsC071) {
    const uint8_t poll[] = {0x00, 0x00, 0x00};
    EXPECT_EQ(crc16(poll, 3), 0xC071);
}

TEST(ToBigEndian, ReversesTwoFourAndEightByteValuesAndKeepsTheLowByteOfOthers) {
    EXPECT_EQ(to_big_endian(uint16_t{0x1234}), 0x3412);
    EXPECT_EQ(to_big_endian(uint32_t{0x11223344}), 0x44332211u);
    EXPECT_EQ(to_big_endian(uint64_t{0x0102030405060708}), 0x0807060504030201u);
    EXPECT_EQ(to_big_endian(to_big_endian(uint16_t{0xBEEF})), 0xBEEF);
    EXPECT_EQ(to_big_endian(uint8_t{0xAB}), 0xAB);
}
