// Clocks and counters of the link's health; atomics, as three threads write them.
#include "protocol/link_health.h"

#include <atomic>

namespace link_health {

namespace {
using Clock = std::chrono::steady_clock;
constexpr int64_t never = 0;

int64_t now() {
    // Offset by one so that a reading is never `never`.
    return Clock::now().time_since_epoch().count() + 1;
}

std::atomic<bool> open{false};
std::atomic<int64_t> opened_at{never};
std::atomic<int64_t> last_report{never};
std::atomic<int64_t> last_valid{never};
std::atomic<uint64_t> given_up{0};

} // namespace

void report_arrived() {
    last_report = now();
}

void message_verified() {
    last_valid = now();
}

void unit_opened() {
    opened_at = now();
    open = true;
}

void unit_closed() {
    open = false;
}

void edit_given_up() {
    ++given_up;
}

State state() {
    if (!open)
        return State::fine;
    const int64_t since = std::max(opened_at.load(), last_valid.load());
    if (now() - since < Clock::duration(silence_limit).count())
        return State::fine;
    return last_report.load() > since ? State::not_understood : State::not_answering;
}

uint64_t edits_given_up() {
    return given_up;
}

} // namespace link_health
