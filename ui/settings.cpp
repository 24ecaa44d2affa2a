// The shared settings block `par`: received blocks, operator edits and their writing.
#include "ui/settings.h"

#include <algorithm>

Tpar SharedPar::get() const {
    std::lock_guard lock(m_);
    return p_;
}

void SharedPar::set(const Tpar& p) {
    std::lock_guard lock(m_);
    p_ = p;
}

bool SharedPar::set_received(std::span<const uint8_t, sizeof(Tpar)> bytes, bool echo) {
    const Tpar p = from_bytes(bytes);
    std::lock_guard lock(m_);
    // Replies come in the order the unit sent them: none after this one is older than the write.
    if (echo && to_bytes(p) == awaited_)
        await_echo_until_ = {};
    const bool may_be_stale = std::chrono::steady_clock::now() < await_echo_until_;
    if (!may_be_stale && edits_ == written_) {
        p_ = p;
        answered_ = written_;
    }
    return shown_ != to_bytes(p_);
}

Tpar SharedPar::take_for_showing() {
    std::lock_guard lock(m_);
    shown_ = to_bytes(p_);
    return p_;
}

void SharedPar::count_edit() {
    if (gate_.valid())
        ++edits_;
}

Tpar SharedPar::take_for_writing(uint64_t& edit) const {
    std::lock_guard lock(m_);
    edit = edits_;
    return p_;
}

void SharedPar::written(uint64_t edit, const Tpar& block, bool ok) {
    Tpar awaited = block;
    sanitise(awaited); // as the unit answers it
    std::lock_guard lock(m_);
    if (ok) {
        if (edit > written_) {
            await_echo_until_ = std::chrono::steady_clock::now() + echo_wait;
            awaited_ = to_bytes(awaited);
        }
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

bool SharedPar::answered() const {
    std::lock_guard lock(m_);
    return answered_ == edits_;
}

bool SharedPar::give_up_unsent() {
    std::lock_guard lock(m_);
    const bool waiting = edits_ != written_;
    written_ = edits_;
    failing_ = false;
    return waiting;
}
