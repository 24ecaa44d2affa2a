// A timer that ticks on the worker, between the requests it sends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

class WorkerTimer;

// Where worker timers tick: the mailbox, whose wait the worker blocks in.
class TimerHost {
public:
    virtual void start_timer(WorkerTimer* t, std::chrono::milliseconds interval) = 0;
    // Returns once no tick of t runs, except when a tick of t calls it.
    virtual void stop_timer(WorkerTimer* t) = 0;

protected:
    ~TimerHost() = default;
};

// For periodic work that ends in the mailbox (the settings poll) or needs no window unless something
// changed (the link watch): a tick on the worker wakes one thread, where a window timer that posts
// wakes two. It ticks only while a worker serves its mailbox; a tick that comes late is not made up.
// The tick runs on the worker thread and must not wait for the user-interface thread.

class WorkerTimer {
public:
    WorkerTimer(TimerHost& host, std::function<void()> tick);
    // Stops it; returns once its tick no longer runs.
    ~WorkerTimer();
    WorkerTimer(const WorkerTimer&) = delete;
    WorkerTimer& operator=(const WorkerTimer&) = delete;

    // (Re)starts it: the first tick comes one interval from now.
    void start(std::chrono::milliseconds interval);
    // No tick runs once it returns (unless a tick of this timer called it).
    void stop();
    bool isActive() const { return active_; }
    int interval() const { return interval_ms_; }
    // How many times it has ticked.
    uint64_t ticks() const { return ticks_; }

    // The host: one tick.
    void fire();

private:
    TimerHost& host_;
    std::function<void()> tick_;
    std::atomic<bool> active_{false};
    std::atomic<int> interval_ms_{0};
    std::atomic<uint64_t> ticks_{0};
};
