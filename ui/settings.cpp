// Settings block rules: sanitising received blocks, the default block, queuing a write.
#include "ui/settings.h"

#include "core/mailbox.h"
#include "protocol/commands.h"
#include "ui/settings_gate.h"

#include <cstring>

SharedPar par;

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

Tpar SharedPar::get() const {
    std::lock_guard lock(m_);
    return p_;
}

void SharedPar::set(const Tpar& p) {
    std::lock_guard lock(m_);
    p_ = p;
}

void SharedPar::set_received(std::span<const uint8_t, sizeof(Tpar)> bytes) {
    Tpar p = from_bytes(bytes);
    sanitise(p);
    set(p);
}

void save() {
    // Until the open unit's own block has arrived, `par` is not its settings: writing it would
    // overwrite them with zeros or another unit's block.
    if (settings_gate::valid())
        mailbox.post(Request{cmd_set_par, {}, true});
}
