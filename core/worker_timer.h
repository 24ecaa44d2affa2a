// A timer that ticks on the worker, between the requests it sends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

class Mailbox;

// For periodic work that ends in the mailbox (the settings poll) or needs no window unless something
// changed (the link watch): a tick on the worker wakes one thread, where a window timer that posts
// wakes two. It ticks only while a worker serves its mailbox; a tick that comes late is not made up.
// The tick runs on the worker thread and must not wait for the user-interface thread.
class WorkerTimer {
public:
    WorkerTimer(Mailbox& box, std::function<void()> tick);
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

private:
    friend class Mailbox;
    void fire();

    Mailbox& box_;
    std::function<void()> tick_;
    std::atomic<bool> active_{false};
    std::atomic<int> interval_ms_{0};
    std::atomic<uint64_t> ticks_{0};
};
