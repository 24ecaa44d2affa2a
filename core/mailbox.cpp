// Request queue, synchronous sends and the worker's serving loop.
#include "core/mailbox.h"

#include "core/ui_handover.h"
#include "protocol/commands.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>

Mailbox::Mailbox(UiHandover& ui) : ui_(ui) {}

bool Mailbox::is_poll(const Request& r) {
    return (r.cmd == cmd_get_par || r.cmd == cmd_upd_poll) && r.data.empty() && r.edit == 0;
}

void Mailbox::post(Request r) {
    {
        std::lock_guard lock(m_);
        if (is_poll(r) && std::any_of(queue_.begin(), queue_.end(),
                                      [&](const Entry& e) { return e.req.cmd == r.cmd && is_poll(e.req); }))
            return;
        if (r.edit != 0) {
            const auto waiting = std::find_if(queue_.begin(), queue_.end(), [&](const Entry& e) {
                return e.req.cmd == r.cmd && e.req.edit != 0 && e.result == nullptr;
            });
            if (waiting != queue_.end()) {
                if (r.edit > waiting->req.edit)
                    waiting->req = std::move(r);
                return;
            }
        }
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
    UiHandover::SyncWait waiting(ui_);
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

void Mailbox::start_timer(WorkerTimer* t, std::chrono::milliseconds interval) {
    {
        std::lock_guard lock(m_);
        std::erase_if(timers_, [&](const Timer& e) { return e.owner == t; });
        timers_.push_back({t, interval, Clock::now() + interval});
    }
    cv_.notify_all(); // the worker's wait may now have to end sooner
}

void Mailbox::stop_timer(WorkerTimer* t) {
    std::unique_lock lock(m_);
    std::erase_if(timers_, [&](const Timer& e) { return e.owner == t; });
    if (std::this_thread::get_id() != worker_id_)
        tick_done_.wait(lock, [&] { return ticking_ != t; });
}

void Mailbox::run_due_timers(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        // Timers due within a twentieth of their interval tick in the same pass, earliest first, as
        // Qt's coarse timers do: two timers of one period then wake the worker once, not twice.
        const auto slack = [](const Timer& t) { return t.interval / 20; };
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (it->due - slack(*it) <= now && (next == timers_.end() || it->due < next->due))
                next = it;
        if (next == timers_.end())
            return;
        next->due += next->interval;
        if (next->due - slack(*next) <= now)
            next->due = now + next->interval; // ticks missed while the worker was busy are skipped
        WorkerTimer* owner = next->owner;
        ticking_ = owner;
        lock.unlock();
        owner->fire();
        lock.lock();
        ticking_ = nullptr;
        tick_done_.notify_all();
    }
}

void Mailbox::serve(const std::function<bool(const Request&)>& send) {
    std::unique_lock lock(m_);
    serving_ = true;
    worker_id_ = std::this_thread::get_id();
    for (;;) {
        run_due_timers(lock);
        if (stop_)
            break;
        if (queue_.empty()) {
            // Woken by work, by a timer's start, by the earliest timer's due time, or for nothing:
            // each way, look again.
            if (timers_.empty()) {
                cv_.wait(lock);
            } else {
                // A copy: the table may change while the wait has the lock released.
                const Clock::time_point earliest =
                    std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                        return a.due < b.due;
                    })->due;
                cv_.wait_until(lock, earliest);
            }
            continue;
        }
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
            ui_.wake();
        }
    }
    serving_ = false;
    lock.unlock();
    ui_.wake(); // a synchronous sender still waiting sees that nobody serves any more
}
