// Posting to the user-interface thread and holding work back during synchronous sends.
#include "core/ui_handover.h"

#include <QCoreApplication>

#include <deque>

UiHooks ui_hooks;
std::atomic<bool> settings_replies_wanted{false};

namespace {
// User-interface thread only.
int wait_depth = 0;
std::deque<std::function<void()>> held;

// Runs held work in arrival order once no synchronous send is being waited for.
void drain() {
    while (wait_depth == 0 && !held.empty()) {
        auto fn = std::move(held.front());
        held.pop_front();
        fn();
    }
}
} // namespace

void run_or_hold(std::function<void()> fn) {
    // Work that arrives while older work is still held queues behind it, so the order is kept.
    if (wait_depth > 0 || !held.empty())
        held.push_back(std::move(fn));
    else
        fn();
}

void post_to_ui(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return; // no user-interface thread to show anything on
    QMetaObject::invokeMethod(
        app, [fn = std::move(fn)]() mutable { run_or_hold(std::move(fn)); }, Qt::QueuedConnection);
}

void wake_ui() {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] {}, Qt::QueuedConnection);
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
