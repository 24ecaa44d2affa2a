// Update file writer: header, then records of at most 256 data bytes, with the checks the reader needs.
#include "sim/update_file.h"

#include "protocol/crc.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace {

void put_be(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i) & 0xFF));
}

void put_records(std::vector<uint8_t>& out, const std::vector<uint8_t>& image, uint8_t type) {
    for (std::size_t at = 0; at < image.size(); at += update_record_data) {
        const std::size_t n = std::min(update_record_data, image.size() - at);
        put_be(out, static_cast<uint32_t>(n), 2);
        put_be(out, static_cast<uint32_t>(at), 4); // ignored by the reader; kept for people and tools
        out.push_back(type);
        out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                   image.begin() + static_cast<std::ptrdiff_t>(at + n));
        put_be(out, crc16(image.data() + at, n), 2);
    }
}

std::size_t records_size(std::size_t image) {
    const std::size_t records = (image + update_record_data - 1) / update_record_data;
    return image + 9 * records;
}

} // namespace

std::vector<uint8_t> make_update_file(const UpdateContent& c) {
    // The reader takes the name up to the first '&' and the version after the first "VERSION=".
    if (c.name.find('&') != std::string::npos)
        throw std::invalid_argument("the name must not contain '&': the reader ends the name there");
    if (c.name.find('\0') != std::string::npos)
        throw std::invalid_argument(
            "the name must not contain a zero byte: the reader ends the header there");
    if (c.name.find("VERSION=") != std::string::npos)
        throw std::invalid_argument(
            "the name must not contain \"VERSION=\": the reader would take it for the version");
    if (c.major > 9 || c.minor > 9)
        throw std::invalid_argument("the version is two single digits, as in 1.4");
    if (c.flash.empty() && c.eeprom.empty())
        throw std::invalid_argument("both images are empty: an update file needs at least one record");
    const std::size_t area = records_size(c.flash.size()) + records_size(c.eeprom.size());
    if (area > 0xFFFF)
        throw std::invalid_argument("the images need " + std::to_string(area) +
                                    " bytes of records; an update file holds at most 65535");

    const std::string text =
        "NAME=" + c.name + "&VERSION=" + std::to_string(c.major) + "." + std::to_string(c.minor);
    const std::size_t header = 2 + text.size() + 1;
    if (header > 0xFFFF)
        throw std::invalid_argument("the name is too long for the header");
    std::vector<uint8_t> out;
    out.reserve(header + area);
    put_be(out, static_cast<uint32_t>(header), 2);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    put_records(out, c.flash, update_type_flash);
    put_records(out, c.eeprom, update_type_eeprom);
    return out;
}

std::optional<uint16_t> firmware_version(std::span<const uint8_t> image) {
    static constexpr std::string_view key = "VERSION=";
    const auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    for (auto at = std::search(image.begin(), image.end(), key.begin(), key.end()); at != image.end();
         at = std::search(at + 1, image.end(), key.begin(), key.end())) {
        const auto v = at + static_cast<std::ptrdiff_t>(key.size());
        if (image.end() - v >= 3 && digit(v[0]) && v[1] == '.' && digit(v[2]))
            return static_cast<uint16_t>((v[0] - '0') << 8 | (v[2] - '0'));
    }
    return std::nullopt;
}

void name_firmware_version(std::vector<uint8_t>& flash, unsigned major, unsigned minor) {
    if (firmware_version(flash))
        return;
    const std::string text = "VERSION=" + std::to_string(major) + "." + std::to_string(minor);
    flash.insert(flash.end(), text.begin(), text.end());
    flash.push_back(0);
}
