// The update file writer: its files read back by hand, as the utility's reader walks them.
#include "protocol/crc.h"
#include "sim/update_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

using Bytes = std::vector<uint8_t>;

namespace {

struct Read {
    std::string text; // the header text up to its zero byte
    Bytes flash, eeprom;
};

// Walks the file: the header, then records of N (2), address (4), type (1), data, CRC (2).
Read read_back(const Bytes& f) {
    Read r;
    const std::size_t header = f.at(0) << 8 | f.at(1);
    r.text.assign(f.begin() + 2, f.begin() + static_cast<std::ptrdiff_t>(header));
    EXPECT_EQ(r.text.back(), '\0');
    r.text.pop_back();
    std::size_t expected_address[3] = {0, 0, 0};
    for (std::size_t at = header; at < f.size();) {
        const std::size_t n = f.at(at) << 8 | f.at(at + 1);
        EXPECT_LE(n, 256u);
        EXPECT_GT(n, 0u);
        const uint32_t address = f.at(at + 2) << 24 | f.at(at + 3) << 16 | f.at(at + 4) << 8 | f.at(at + 5);
        const uint8_t type = f.at(at + 6);
        if (type != 0 && type != 2) {
            ADD_FAILURE() << "record type " << int(type);
            return r;
        }
        EXPECT_EQ(address, expected_address[type]);
        expected_address[type] += n;
        const uint8_t* data = &f.at(at + 7);
        EXPECT_EQ(f.at(at + 7 + n) << 8 | f.at(at + 8 + n), crc16(data, n));
        (type == 0 ? r.flash : r.eeprom).insert((type == 0 ? r.flash : r.eeprom).end(), data, data + n);
        at += n + 9;
        EXPECT_LE(at, f.size());
    }
    return r;
}

Bytes pattern(std::size_t n, uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 31);
    return b;
}

} // namespace

TEST(UpdateFile, ImagesOfManyRecordsReadBackWhole) {
    for (std::size_t flash : {0, 1, 256, 257, 2560}) {
        const UpdateContent c{"RV-390PKTA", 3, 9, pattern(flash, 1), pattern(700 - flash / 10, 7)};
        const Read r = read_back(make_update_file(c));
        EXPECT_EQ(r.text, "NAME=RV-390PKTA&VERSION=3.9");
        EXPECT_EQ(r.flash, c.flash);
        EXPECT_EQ(r.eeprom, c.eeprom);
    }
}

TEST(UpdateFile, ContentTheReaderCouldNotTakeBackIsRefused) {
    const auto refused = [](const UpdateContent& c) {
        EXPECT_THROW(make_update_file(c), std::invalid_argument) << c.name;
    };
    refused({"A&B", 1, 0, {1}, {}}); // the reader ends the name at '&'
    refused({std::string("A\0B", 3), 1, 0, {1}, {}});
    refused({"X", 10, 0, {1}, {}});         // one digit each
    refused({"X", 1, 0, {}, {}});           // nothing to write
    refused({"X", 1, 0, Bytes(64000), {}}); // more than 65535 bytes of records
    EXPECT_NO_THROW(make_update_file({"X", 1, 0, Bytes(63000), {}}));
}

TEST(UpdateFile, TheSampleMatchesItsImagesAndTheUnitsName) {
    const auto load = [](const char* name) {
        std::ifstream in(std::string(SAMPLES_DIR) + "/" + name, std::ios::binary);
        EXPECT_TRUE(in) << name;
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    const Read r = read_back(load("virtual-unit.voku"));
    EXPECT_EQ(r.text, "NAME=RV-390PKTA&VERSION=1.4");
    EXPECT_EQ(r.flash, load("virtual-unit-flash.bin"));
    EXPECT_EQ(r.eeprom, load("virtual-unit-eeprom.bin"));
}
