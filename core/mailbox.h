// The request mailbox: every window's way of having a message sent to the unit by the worker.
#pragma once

#include "core/worker_timer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class UiHandover;

struct Request {
    uint8_t cmd = 0;
    std::vector<uint8_t> data; // payload, owned by the request
    // An operator's settings write: the edit of `par` whose block `data` is (0: not one).
    uint64_t edit = 0;
};

// Requests are kept in posting order and each is sent exactly once. A settings poll (cmd_get_par)
// or update poll (cmd_upd_poll) is not queued while the same poll still waits, so a stalled link
// does not pile up polls; an operator's settings write still waiting takes the bytes of a newer one
// in its place, so that quick changes go out as one write.
class Mailbox : public TimerHost {
public:
    explicit Mailbox(UiHandover& ui);

    // Fire-and-forget, from any thread.
    void post(Request r);

    // User-interface thread: sends r and returns the result of sending it. While it waits the thread
    // keeps repainting but handles no input, timers, socket notifiers or held-back hand-overs
    // (see ui_handover.h): to the rest of the program the thread looks blocked, as a plain wait
    // would leave it. Without a worker serving the mailbox the result is false at once.
    bool send_and_wait(Request r);

    // True while a request waits or is being sent (req_pending).
    bool pending() const;

    // Worker side: sends requests with `send` and ticks the timers until stop() is called. Blocks while
    // there is nothing to do.
    void serve(const std::function<bool(const Request&)>& send);
    void stop();
    // A worker is being started: synchronous senders wait for it instead of failing because it has not
    // reached serve() yet.
    void worker_starting();

    // Worker timers (worker_timer.h), ticked by the serving worker between requests. stop_timer
    // returns once no tick of t runs, except when a tick of t calls it.
    void start_timer(WorkerTimer* t, std::chrono::milliseconds interval) override;
    void stop_timer(WorkerTimer* t) override;

private:
    struct Entry {
        Request req;
        uint64_t seq;
        bool* result; // the synchronous sender's slot, or null
    };
    using Clock = std::chrono::steady_clock;
    struct Timer {
        WorkerTimer* owner;
        Clock::duration interval;
        Clock::time_point due;
    };
    static bool is_poll(const Request& r);
    // Worker: ticks every timer that is due, with the lock released during each tick.
    void run_due_timers(std::unique_lock<std::mutex>& lock);

    UiHandover& ui_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    uint64_t posted_ = 0; // sequence number of the last posted request
    uint64_t done_ = 0;   // sequence number of the last request sent
    bool sending_ = false;
    bool serving_ = false;
    bool stop_ = false;
    std::vector<Timer> timers_;
    const WorkerTimer* ticking_ = nullptr; // the timer whose tick runs now
    std::condition_variable tick_done_;
    std::thread::id worker_id_;
};
