// Clocks and counters of a link's health.
#include "protocol/link_health.h"

#include <algorithm>

namespace {
using Clock = std::chrono::steady_clock;

int64_t now() {
    // Offset by one so that a reading is never `never`.
    return Clock::now().time_since_epoch().count() + 1;
}
} // namespace

void LinkHealth::report_arrived() {
    last_report_ = now();
}

void LinkHealth::message_verified() {
    last_valid_ = now();
}

void LinkHealth::unit_opened() {
    opened_at_ = now();
    open_ = true;
}

void LinkHealth::unit_closed() {
    open_ = false;
}

void LinkHealth::edit_given_up() {
    ++given_up_;
}

link_health::State LinkHealth::state() const {
    using link_health::State;
    if (!open_)
        return State::fine;
    const int64_t since = std::max(opened_at_.load(), last_valid_.load());
    if (now() - since < Clock::duration(link_health::silence_limit).count())
        return State::fine;
    return last_report_.load() > since ? State::not_understood : State::not_answering;
}
