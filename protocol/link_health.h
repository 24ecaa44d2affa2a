// How a link to its open unit is doing, for the operator: counted by the link's threads, read by the
// main window, so that a unit that stops answering, answers nonsense or cannot be written to is never a
// silent, grey window.
#pragma once

#include "core/timings.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace link_health {
// No valid reply for timings::silence_limit from an open unit in its normal firmware is told.
inline constexpr auto silence_limit = timings::silence_limit;
enum class State { fine, not_answering, not_understood };
} // namespace link_health

// Atomics, as three threads write them.
class LinkHealth {
public:
    // Input thread: an input report arrived; a message in it passed its length and CRC checks.
    void report_arrived();
    void message_verified();
    // Discovery: a unit in its normal firmware was opened; no unit is open any more (or one in its boot
    // loader, which is not polled).
    void unit_opened();
    void unit_closed();
    // An operator's change that had not reached the unit was given up with its unit.
    void edit_given_up();

    link_health::State state() const;
    // How many changes have been given up so far.
    uint64_t edits_given_up() const { return given_up_; }

private:
    static constexpr int64_t never = 0;
    std::atomic<bool> open_{false};
    std::atomic<int64_t> opened_at_{never};
    std::atomic<int64_t> last_report_{never};
    std::atomic<int64_t> last_valid_{never};
    std::atomic<uint64_t> given_up_{0};
};
