// Request queue, synchronous sends and the worker's serving loop.
#include "core/mailbox.h"

#include "core/ui_handover.h"
#include "protocol/commands.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>

Mailbox mailbox;

bool Mailbox::is_poll(const Request& r) {
    return (r.cmd == cmd_get_par || r.cmd == cmd_upd_poll) && r.data.empty() && !r.of_par;
}

void Mailbox::post(Request r) {
    {
        std::lock_guard lock(m_);
        if (is_poll(r) && std::any_of(queue_.begin(), queue_.end(),
                                      [&](const Entry& e) { return e.req.cmd == r.cmd && is_poll(e.req); }))
            return;
        queue_.push_back({std::move(r), ++posted_, nullptr});
    }
    cv_.notify_all();
}

bool Mailbox::send_and_wait(Request r) {
    bool result = false;
    uint64_t seq = 0;
    {
        std::lock_guard lock(m_);
        if (!serving_)
            return false;
        seq = ++posted_;
        queue_.push_back({std::move(r), seq, &result});
    }
    cv_.notify_all();

    // The order the link relies on holds: the request is in the queue (under the lock) before the
    // worker can see it, and the worker stores the result before it publishes done_ (under the same
    // lock), so the result read below is this request's own. Work that would re-enter the link from
    // this thread meanwhile (device changes, activations, refreshes, boxes) is held back and runs
    // after the wait, in arrival order, as it would after a blocked thread resumed.
    SyncWaitScope waiting;
    constexpr auto only_repaint = QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers |
                                  QEventLoop::X11ExcludeTimers | QEventLoop::WaitForMoreEvents;
    for (;;) {
        {
            std::lock_guard lock(m_);
            if (done_ >= seq || !serving_)
                return result;
        }
        QCoreApplication::processEvents(only_repaint);
    }
}

void Mailbox::request_refresh() {
    {
        std::lock_guard lock(m_);
        refresh_pending_ = true;
    }
    cv_.notify_all();
}

bool Mailbox::pending() const {
    std::lock_guard lock(m_);
    return !queue_.empty() || sending_;
}

void Mailbox::worker_starting() {
    std::lock_guard lock(m_);
    if (!stop_)
        serving_ = true;
}

void Mailbox::stop() {
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
}

void Mailbox::serve(const std::function<bool(const Request&)>& send) {
    std::unique_lock lock(m_);
    serving_ = true;
    for (;;) {
        cv_.wait(lock, [&] { return stop_ || !queue_.empty() || (refresh_pending_ && !refresh_running_); });
        if (stop_)
            break;
        if (!queue_.empty()) {
            Entry e = std::move(queue_.front());
            queue_.pop_front();
            sending_ = true;
            lock.unlock();
            const bool ok = send(e.req);
            lock.lock();
            sending_ = false;
            done_ = e.seq;
            if (e.result != nullptr) {
                *e.result = ok;
                wake_ui();
            }
            continue;
        }
        // Refresh hand-off. The worker does not block on it: while the user-interface thread is busy
        // (or waits for a synchronous send), requests keep being served, so the two waits can never
        // hold each other up. A block that arrives during a refresh gets a refresh of its own.
        refresh_pending_ = false;
        refresh_running_ = true;
        lock.unlock();
        post_to_ui([this] {
            if (ui_hooks.refresh)
                ui_hooks.refresh();
            bool again = false;
            {
                std::lock_guard done(m_);
                refresh_running_ = false;
                again = refresh_pending_;
            }
            // Only a block that came meanwhile gives the worker something to do; waking it for
            // nothing after every poll would cost an idle window a thread switch each time.
            if (again)
                cv_.notify_all();
        });
        lock.lock();
    }
    serving_ = false;
    refresh_running_ = false;
    lock.unlock();
    wake_ui(); // a synchronous sender still waiting sees that nobody serves any more
}
