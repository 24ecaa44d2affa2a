// Writing ".voku" update files from a flash image and an EEPROM image, for the virtual unit and its tests.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct UpdateContent {
    std::string name;   // the model name the utility compares with the unit's product string
    unsigned major = 0; // VERSION=<major>.<minor>, one digit each
    unsigned minor = 0;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> eeprom;
};

inline constexpr std::size_t update_record_data = 256; // data bytes per record at most
inline constexpr uint8_t update_type_flash = 0;
inline constexpr uint8_t update_type_eeprom = 2;

// The file's bytes: the header "NAME=<name>&VERSION=<major>.<minor>" with its zero byte, then the flash
// records, then the EEPROM records. A record is N (2), the address of its data in its image (4), the
// type (1), the data, and the CRC-16 of the data (2); numbers big-endian. Throws std::invalid_argument
// with a message fit for the user when the content cannot be written as a file the utility reads.
std::vector<uint8_t> make_update_file(const UpdateContent& content);

// A firmware image names its own version with the text "VERSION=<major>.<minor>" somewhere in it: the
// virtual unit reports that version after it restarts into the image, as a real unit reports the
// version its firmware was built with. The first such text counts; none: the image names none.
std::optional<uint16_t> firmware_version(std::span<const uint8_t> image);
// Appends "VERSION=<major>.<minor>" and a zero byte to `flash` when it names no version yet.
void name_firmware_version(std::vector<uint8_t>& flash, unsigned major, unsigned minor);
