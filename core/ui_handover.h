// Handing work to the user-interface thread, held back while that thread waits for a synchronous send.
#pragma once

#include <QObject>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

// One per user-interface thread, shared by every link that thread drives: a synchronous send of any
// link blocks the thread for all of them, so work of every link waits for its end. Built on the
// user-interface thread, before the links that use it.
class UiHandover : public QObject {
public:
    UiHandover();
    ~UiHandover() override;
    UiHandover(const UiHandover&) = delete;
    UiHandover& operator=(const UiHandover&) = delete;

    // Runs fn on the user-interface thread, from any thread, in posting order. While that thread waits
    // for a synchronous send, fn is held back and runs after the wait, as it would on a blocked thread.
    // `owner` names whose work it is, so that forget() can drop it.
    void post(const void* owner, std::function<void()> fn);
    // Runs fn now, or after the synchronous send the user-interface thread is waiting for. For work that
    // reaches the user-interface thread by other ways than post (device changes, activations).
    void run_or_hold(const void* owner, std::function<void()> fn);
    // User-interface thread: drops the work of `owner` still posted or held (it is being destroyed).
    void forget(const void* owner);

    // Holds work back, as a synchronous send does, from now until release_answer_hold() or until
    // `limit` has passed: for a request whose answer a device change would lose. The unit answers
    // cmd_finish and then restarts; a discovery run in between would close the unit and drop the
    // answer with it. User-interface thread.
    void hold_for_answer(std::chrono::milliseconds limit);
    // From any thread: the awaited answer is in (or no longer awaited); held work runs again.
    void release_answer_hold();

    // Wakes the user-interface thread out of a wait for events, from any thread.
    void wake();
    // True while the user-interface thread waits for a synchronous send.
    bool waiting() const { return wait_depth_ > 0; }

    // Marks the user-interface thread as waiting for a synchronous send for the scope's lifetime.
    class SyncWait {
    public:
        explicit SyncWait(UiHandover& ui);
        ~SyncWait();
        SyncWait(const SyncWait&) = delete;
        SyncWait& operator=(const SyncWait&) = delete;

    private:
        UiHandover& ui_;
    };

private:
    // One way in from other threads: an empty event posted to an object of its own, which reads nothing
    // of the event. So nothing of ours travels inside Qt's event queue, where no tool (ThreadSanitizer
    // among them) can follow the hand-over; the work itself goes through our own lock.
    class Call : public QObject {
    public:
        explicit Call(std::function<void()> fn) : fn_(std::move(fn)) {}
        void post();

    protected:
        void customEvent(QEvent* /*event*/) override { fn_(); }

    private:
        const std::function<void()> fn_;
    };

    struct Work {
        const void* owner;
        std::function<void()> fn;
    };
    bool holding() const { return wait_depth_ > 0 || answer_awaited_; }
    void drain();
    void take_posted();
    void end_answer_hold(uint64_t which);

    // User-interface thread only.
    int wait_depth_ = 0;
    bool answer_awaited_ = false;
    uint64_t answer_holds_ = 0; // which hold is the latest: a timer of an earlier one ends nothing
    std::deque<Work> held_;
    // From any thread, under the lock.
    std::mutex posted_m_;
    std::deque<Work> posted_;
    Call take_posted_call_{[this] { take_posted(); }};
    Call wake_call_{[] {}};
    Call end_hold_call_{[this] { end_answer_hold(0); }};
    Call drain_call_{[this] { drain(); }};
};
