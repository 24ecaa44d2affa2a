// The settings block's rules: byte conversion, sanitising a received block, the default block.
#include "ui/settings_block.h"

#include <cstring>

const Tpar default_par{0, {0, 1}, {0, 1, 2, 3, 4, 5, 6, 7}, 0, -18, 10, 1, 2, 0};

TparBytes to_bytes(const Tpar& p) {
    TparBytes b;
    std::memcpy(b.data(), &p, b.size());
    return b;
}

Tpar from_bytes(std::span<const uint8_t, sizeof(Tpar)> bytes) {
    Tpar p;
    std::memcpy(&p, bytes.data(), sizeof p);
    return p;
}

void sanitise(Tpar& p) {
    p.but &= 3; // a mask, not a clamp: 6 becomes 2
    p.group[0] &= 3;
    p.group[1] &= 3;
    for (uint8_t& s : p.src)
        s %= 20;
    if (p.db0 > 0)
        p.db0 = 0;
    if (p.db0 < -32)
        p.db0 = -32;
    p.scale = p.scale != 0 ? 1 : 0;
    p.ind %= 3;
}
