// CRC-16/MODBUS over a message and the byte-order helper of the wire format.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF, no final XOR); 0xFFFF for no bytes.
uint16_t crc16(const uint8_t* data, std::size_t n);
inline uint16_t crc16(std::span<const uint8_t> data) {
    return crc16(data.data(), data.size());
}

// Reverses the bytes of a 2-, 4- or 8-byte integer (the big-endian form on this little-endian
// platform); any other value comes back as its low byte.
template <std::integral T> constexpr T to_big_endian(T value) {
    using U = std::make_unsigned_t<T>;
    const U u = static_cast<U>(value);
    if constexpr (sizeof(T) == 2)
        return static_cast<T>(__builtin_bswap16(u));
    else if constexpr (sizeof(T) == 4)
        return static_cast<T>(__builtin_bswap32(u));
    else if constexpr (sizeof(T) == 8)
        return static_cast<T>(__builtin_bswap64(u));
    else
        return static_cast<T>(value & 0xFF);
}
