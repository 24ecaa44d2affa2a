// Posting to the user-interface thread and holding work back during synchronous sends.
#include "core/ui_handover.h"

#include "core/ui_call.h"

#include <QCoreApplication>
#include <QTimer>

#include <deque>
#include <mutex>

UiHooks ui_hooks;
std::atomic<bool> settings_replies_wanted{false};

namespace {
// User-interface thread only.
int wait_depth = 0;
bool answer_awaited = false;
uint64_t answer_holds = 0; // which hold is the latest: a timer of an earlier one ends nothing
std::deque<std::function<void()>> held;

bool holding() {
    return wait_depth > 0 || answer_awaited;
}

// Runs held work in arrival order once nothing holds it back any more.
void drain() {
    while (!holding() && !held.empty()) {
        auto fn = std::move(held.front());
        held.pop_front();
        fn();
    }
}

// Ends the answer hold `which` (0: whichever is on).
void end_answer_hold(uint64_t which) {
    if (!answer_awaited || (which != 0 && which != answer_holds))
        return;
    answer_awaited = false;
    drain();
}
} // namespace

void run_or_hold(std::function<void()> fn) {
    // Work that arrives while older work is still held queues behind it, so the order is kept.
    if (holding() || !held.empty())
        held.push_back(std::move(fn));
    else
        fn();
}

namespace {
// Work posted from other threads, in posting order, under our own lock (core/ui_call.h says why).
std::mutex posted_m;
std::deque<std::function<void()>> posted;

// User-interface thread: runs (or holds) what has been posted so far.
void take_posted() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(posted_m);
            if (posted.empty())
                return;
            fn = std::move(posted.front());
            posted.pop_front();
        }
        run_or_hold(std::move(fn));
    }
}
} // namespace

void post_to_ui(std::function<void()> fn) {
    if (!QCoreApplication::instance())
        return; // no user-interface thread to show anything on
    {
        std::lock_guard lock(posted_m);
        posted.push_back(std::move(fn));
    }
    UiCall<&take_posted>::post();
}

namespace {
void nothing() {}
void end_any_answer_hold() {
    end_answer_hold(0);
}
} // namespace

void wake_ui() {
    UiCall<&nothing>::post();
}

bool ui_waiting() {
    return wait_depth > 0;
}

SyncWaitScope::SyncWaitScope() {
    ++wait_depth;
}

SyncWaitScope::~SyncWaitScope() {
    if (--wait_depth > 0 || held.empty())
        return;
    // Not run here: the held work runs from the event loop once the handler that sent has returned.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &drain, Qt::QueuedConnection);
}

void hold_for_answer(std::chrono::milliseconds limit) {
    answer_awaited = true;
    const uint64_t which = ++answer_holds;
    if (QCoreApplication* app = QCoreApplication::instance())
        QTimer::singleShot(limit, app, [which] { end_answer_hold(which); });
}

void release_answer_hold() {
    UiCall<&end_any_answer_hold>::post();
}
