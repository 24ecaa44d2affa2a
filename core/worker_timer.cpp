// Worker timers: their table and ticking live in the mailbox, whose wait the worker blocks in.
#include "core/worker_timer.h"

#include "core/mailbox.h"

WorkerTimer::WorkerTimer(Mailbox& box, std::function<void()> tick) : box_(box), tick_(std::move(tick)) {}

WorkerTimer::~WorkerTimer() {
    stop();
}

void WorkerTimer::start(std::chrono::milliseconds interval) {
    interval_ms_ = static_cast<int>(interval.count());
    active_ = true;
    box_.start_timer(this, interval);
}

void WorkerTimer::stop() {
    active_ = false;
    box_.stop_timer(this);
}

void WorkerTimer::fire() {
    tick_();
    ++ticks_;
}
