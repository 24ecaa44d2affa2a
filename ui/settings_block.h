// The unit's 17-byte settings block as plain data: its layout, the sanitising of a received block and
// the default block. No shared state and no windows: the virtual unit and the command line use it too.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#pragma pack(push, 1)
struct Tpar {
    uint8_t but;      // selected selector button 0..3
    uint8_t group[2]; // primary and secondary audio group 0..3
    uint8_t src[8];   // source index 0..19 of outputs 1..8
    int8_t xlr_gain;  // -32..16
    int8_t db0;       // -32..0
    int8_t headroom;  // 0..32
    uint8_t scale;    // 0 dB, 1 dBFS
    uint8_t ind;      // 0 off, 1 small, 2 full
    uint8_t agr;      // audio group replacement 0 off, non-zero on
};
#pragma pack(pop)
static_assert(sizeof(Tpar) == 17);

using TparBytes = std::array<uint8_t, sizeof(Tpar)>;

TparBytes to_bytes(const Tpar& p);
Tpar from_bytes(std::span<const uint8_t, sizeof(Tpar)> bytes);

// Normalises a block received from the unit in place.
void sanitise(Tpar& p);

// The block a reset to defaults writes.
extern const Tpar default_par;
