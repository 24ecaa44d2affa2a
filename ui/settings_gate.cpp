// The settings gate: counts replies since the unit was opened.
#include "ui/settings_gate.h"

#include "protocol/link_health.h"
#include "ui/settings.h"

#include <atomic>
#include <cstdint>

namespace settings_gate {

namespace {
std::atomic<uint64_t> replies{0};   // settings replies dispatched so far
std::atomic<uint64_t> opened_at{0}; // `replies` when the current unit was opened
std::atomic<bool> is_valid{false};
} // namespace

void unit_opened(bool same_unit) {
    if (same_unit && is_valid)
        return;
    is_valid = false;
    opened_at = replies.load();
}

void unit_closed() {
    is_valid = false;
    // Changes meant for that unit are not kept for whichever unit comes next: the operator is told.
    if (par.give_up_unsent())
        link_health::edit_given_up();
}

void reply_arrived() {
    ++replies;
}

bool refreshed() {
    if (is_valid || replies.load() <= opened_at.load())
        return false;
    is_valid = true;
    return true;
}

bool valid() {
    return is_valid;
}

} // namespace settings_gate
