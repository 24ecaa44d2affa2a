// Packets of the virtual HID bus, shared by the library's backend and the device helper.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vhid_protocol {

inline constexpr std::size_t max_packet = 4096;

// The bus: a folder in the user's runtime folder; "" when there is no runtime folder.
inline std::string bus_folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && *runtime != '\0' ? std::string(runtime) + "/vhid" : std::string();
}

enum Type : uint8_t {
    HELLO = 0x01,
    INFO = 0x02,
    INPUT = 0x10,
    OUTPUT = 0x11,
    SET_OUTPUT = 0x20,
    GET_INPUT = 0x21,
    SET_FEATURE = 0x22,
    GET_FEATURE = 0x23,
    REPLY = 0x2F,
};

enum Role : uint8_t { ROLE_QUERY = 1, ROLE_INTERRUPT = 2, ROLE_CONTROL = 3 };

inline constexpr uint8_t FLAG_QUERY_ONLY = 1;

struct Info {
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t version = 0;
    uint8_t flags = 0;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product_name;
    std::optional<std::string> serial;
    std::vector<uint8_t> descriptor;
};

// The report an INPUT packet of n bytes carries, at most `room` bytes of it into `into` (the rest is
// dropped); its length, or -1 when the packet is no INPUT or carries no report.
inline long read_input_packet(const uint8_t* p, std::size_t n, uint8_t* into, std::size_t room) {
    if (n <= 1 || p[0] != INPUT)
        return -1;
    const std::size_t length = std::min(n - 1, room);
    std::copy(p + 1, p + 1 + length, into);
    return static_cast<long>(length);
}

// A REPLY packet of n bytes: whether the device said ok, its report (for a get) copied into `into`, at
// most `room` bytes; nothing when the packet is no REPLY.
inline std::optional<bool> read_reply(const uint8_t* p, std::size_t n, uint8_t* into, std::size_t room) {
    if (n < 2 || p[0] != REPLY)
        return std::nullopt;
    if (into != nullptr)
        std::copy(p + 2, p + 2 + std::min(room, n - 2), into);
    return p[1] != 0;
}

inline std::vector<uint8_t> encode(const Info& info) {
    std::vector<uint8_t> p{INFO};
    const auto u16 = [&](uint16_t v) {
        p.push_back(static_cast<uint8_t>(v & 0xFF));
        p.push_back(static_cast<uint8_t>(v >> 8));
    };
    const auto str = [&](const std::optional<std::string>& s) {
        p.push_back(s ? 1 : 0);
        const std::size_t n = s ? std::min<std::size_t>(s->size(), 255) : 0;
        p.push_back(static_cast<uint8_t>(n));
        if (s)
            p.insert(p.end(), s->begin(), s->begin() + static_cast<std::ptrdiff_t>(n));
    };
    u16(info.vendor);
    u16(info.product);
    u16(info.version);
    p.push_back(info.flags);
    str(info.manufacturer);
    str(info.product_name);
    str(info.serial);
    const std::size_t room = max_packet - p.size() - 2;
    const std::size_t n = std::min(info.descriptor.size(), room);
    u16(static_cast<uint16_t>(n));
    p.insert(p.end(), info.descriptor.begin(), info.descriptor.begin() + static_cast<std::ptrdiff_t>(n));
    return p;
}

// Reads an INFO packet; nothing when it is malformed (the device is then not described).
inline std::optional<Info> decode_info(const uint8_t* p, std::size_t n) {
    std::size_t at = 0;
    const auto byte = [&]() -> std::optional<uint8_t> {
        if (at >= n)
            return std::nullopt;
        return p[at++];
    };
    const auto u16 = [&]() -> std::optional<uint16_t> {
        const auto lo = byte();
        const auto hi = byte();
        if (!lo || !hi)
            return std::nullopt;
        return static_cast<uint16_t>(*lo | *hi << 8);
    };
    bool bad = false;
    const auto str = [&]() -> std::optional<std::string> {
        const auto present = byte();
        const auto len = byte();
        if (!present || !len || at + *len > n) {
            bad = true;
            return std::nullopt;
        }
        std::string s(reinterpret_cast<const char*>(p + at), *len);
        at += *len;
        if (*present == 0)
            return std::nullopt;
        return s;
    };
    if (byte() != std::optional<uint8_t>(INFO))
        return std::nullopt;
    Info info;
    const auto vendor = u16();
    const auto product = u16();
    const auto version = u16();
    const auto flags = byte();
    if (!vendor || !product || !version || !flags)
        return std::nullopt;
    info.vendor = *vendor;
    info.product = *product;
    info.version = *version;
    info.flags = *flags;
    info.manufacturer = str();
    info.product_name = str();
    info.serial = str();
    const auto dlen = u16();
    if (bad || !dlen || at + *dlen > n)
        return std::nullopt;
    info.descriptor.assign(p + at, p + at + *dlen);
    return info;
}

} // namespace vhid_protocol
