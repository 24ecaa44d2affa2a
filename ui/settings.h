// The shared settings block `par` and the counting of its edits; the block's rules are in settings_block.h.
#pragma once

#include "core/timings.h"
#include "ui/settings_block.h"
#include "ui/settings_gate.h"

#include <chrono>
#include <mutex>
#include <optional>

// A link's settings block, shared by the user-interface thread (handlers, refresh, files), the input
// thread (settings replies) and the worker (its writes' results). Every access holds the lock, so a
// reader never sees half of one block and half of another.
class SharedPar {
public:
    // Edits are counted only while `gate` says the block is the open unit's.
    explicit SharedPar(const SettingsGate& gate) : gate_(gate) {}

    Tpar get() const;
    void set(const Tpar& p);
    // Replaces the whole block with a received one, already sanitised, as one step.
    // After an edit was written, a reply may have left the unit before it took the write: a poll's
    // answer, or the answer to an earlier write. So until the unit's answer to a write (`echo`, the
    // reply to cmd_set_par) brings the block as written, no block is taken; for at most echo_wait,
    // as the unit may change or refuse a write, and its answer may be lost.
    // True when the block now differs from the one last taken for showing (or none has been).
    bool set_received(std::span<const uint8_t, sizeof(Tpar)> bytes, bool echo = false);
    // The block, noted as the one the window now shows.
    Tpar take_for_showing();
    static constexpr auto echo_wait = timings::echo_wait;
    // Changes some bytes under the lock.
    template <class F> void change(F&& f) {
        std::lock_guard lock(m_);
        f(p_);
    }

    // The operator changes some bytes: the block then waits to be written (save()), and until it has
    // been, received blocks do not replace it: a poll's reply must not undo a change the unit has not
    // seen yet. Only counted while `par` holds the open unit's settings (the block is sent then).
    template <class F> void edit(F&& f) {
        std::lock_guard lock(m_);
        f(p_);
        count_edit();
    }
    // The block as it stands, and the edit it carries: what a write sends.
    Tpar take_for_writing(uint64_t& edit) const;
    // Worker: writing `block`, the block of `edit`, succeeded, or failed.
    void written(uint64_t edit, const Tpar& block, bool ok);
    // An edit waits to be written (it has not reached the unit yet).
    bool unsent() const;
    // An unsent edit's write has failed at least once: the link is down for it.
    bool failing() const;
    // The unit the edits were meant for is gone: they are given up. True when one was waiting.
    bool give_up_unsent();
    // Edits counted as written (or given up) so far.
    uint64_t last_written() const;
    // The unit has answered every edit: the block is what it holds, not what was sent to it.
    bool answered() const;

private:
    void count_edit(); // m_ held
    const SettingsGate& gate_;
    mutable std::mutex m_;
    Tpar p_{};
    std::optional<TparBytes> shown_; // as last taken for showing
    uint64_t edits_ = 0;             // edits made
    uint64_t written_ = 0;           // the last edit that reached the unit (or was given up)
    uint64_t answered_ = 0;          // the last edit a block taken from the unit answers
    bool failing_ = false;
    std::chrono::steady_clock::time_point await_echo_until_{}; // after an edit was written...
    TparBytes awaited_{};                                      // ...this block, sanitised
};
