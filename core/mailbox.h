// The request mailbox: every window's way of having a message sent to the unit by the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerTimer;

struct Request {
    uint8_t cmd = 0;
    std::vector<uint8_t> data; // payload, owned by the request
    bool of_par = false;       // the payload is `par` as it stands when the worker frames it
};

// Requests are kept in posting order and each is sent exactly once. A settings poll (cmd_get_par)
// or update poll (cmd_upd_poll) is not queued while the same poll still waits, so a stalled link
// does not pile up polls. The mailbox also carries the hand-off of settings refreshes from the
// input thread, through the worker, to the user-interface thread.
class Mailbox {
public:
    // Fire-and-forget, from any thread.
    void post(Request r);

    // User-interface thread: sends r and returns the result of sending it. While it waits the thread
    // keeps repainting but handles no input, timers, socket notifiers or held-back hand-overs
    // (see ui_handover.h): to the rest of the program the thread looks blocked, as a plain wait
    // would leave it. Without a worker serving the mailbox the result is false at once.
    bool send_and_wait(Request r);

    // Input thread: a new settings block is in `par` (refresh_pending).
    void request_refresh();

    // True while a request waits or is being sent (req_pending).
    bool pending() const;

    // Worker side: sends requests with `send` and hands refreshes to the user-interface thread until
    // stop() is called. Blocks while there is nothing to do.
    void serve(const std::function<bool(const Request&)>& send);
    void stop();
    // A worker is being started: synchronous senders wait for it instead of failing because it has not
    // reached serve() yet.
    void worker_starting();

    // Worker timers (worker_timer.h), ticked by the serving worker between requests. stop_timer
    // returns once no tick of t runs, except when a tick of t calls it.
    void start_timer(WorkerTimer* t, std::chrono::milliseconds interval);
    void stop_timer(WorkerTimer* t);

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

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    uint64_t posted_ = 0; // sequence number of the last posted request
    uint64_t done_ = 0;   // sequence number of the last request sent
    bool sending_ = false;
    bool serving_ = false;
    bool stop_ = false;
    bool refresh_pending_ = false;
    bool refresh_running_ = false; // handed to the user-interface thread, not yet returned
    std::vector<Timer> timers_;
    const WorkerTimer* ticking_ = nullptr; // the timer whose tick runs now
    std::condition_variable tick_done_;
    std::thread::id worker_id_;
};

extern Mailbox mailbox;
