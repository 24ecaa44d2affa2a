// Worker timers: their table and ticking live in their host, whose wait the worker blocks in.
#include "core/worker_timer.h"

WorkerTimer::WorkerTimer(TimerHost& host, std::function<void()> tick) : host_(host), tick_(std::move(tick)) {}

WorkerTimer::~WorkerTimer() {
    stop();
}

void WorkerTimer::start(std::chrono::milliseconds interval) {
    interval_ms_ = static_cast<int>(interval.count());
    active_ = true;
    host_.start_timer(this, interval);
}

void WorkerTimer::stop() {
    active_ = false;
    host_.stop_timer(this);
}

void WorkerTimer::fire() {
    tick_();
    ++ticks_;
}
