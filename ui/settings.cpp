// Settings block rules: sanitising received blocks, the default block, queuing a write.
#include "ui/settings.h"

#include "core/mailbox.h"
#include "protocol/commands.h"
#include "ui/settings_gate.h"

#include <algorithm>
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
    std::lock_guard lock(m_);
    if (edits_ == written_)
        p_ = p;
}

void SharedPar::count_edit() {
    if (settings_gate::valid())
        ++edits_;
}

Tpar SharedPar::take_for_writing(uint64_t& edit) const {
    std::lock_guard lock(m_);
    edit = edits_;
    return p_;
}

void SharedPar::written(uint64_t edit, bool ok) {
    std::lock_guard lock(m_);
    if (ok) {
        written_ = std::max(written_, edit);
        failing_ = edits_ != written_ && failing_;
    } else if (edit > written_) {
        failing_ = true;
    }
}

bool SharedPar::unsent() const {
    std::lock_guard lock(m_);
    return edits_ != written_;
}

bool SharedPar::failing() const {
    std::lock_guard lock(m_);
    return failing_ && edits_ != written_;
}

uint64_t SharedPar::last_written() const {
    std::lock_guard lock(m_);
    return written_;
}

bool SharedPar::give_up_unsent() {
    std::lock_guard lock(m_);
    const bool waiting = edits_ != written_;
    written_ = edits_;
    failing_ = false;
    return waiting;
}

void save() {
    // Until the open unit's own block has arrived, `par` is not its settings: writing it would
    // overwrite them with zeros or another unit's block.
    if (settings_gate::valid())
        mailbox.post(Request{cmd_set_par, {}, true});
}
