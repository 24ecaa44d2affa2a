// Handing work to the user-interface thread, held back while that thread waits for a synchronous send.
#pragma once

#include <QString>

#include <functional>

// What the link shows on the user-interface thread. The windows fill these in when they are created;
// they are read on the user-interface thread only.
struct UiHooks {
    std::function<void()> refresh;              // the main window shows `par`
    std::function<void(const QString&)> error;  // a plain message box with an error's text
    std::function<void(bool ok)> update_result; // the unit answered cmd_finish
    std::function<void()> defaults_reset;       // the unit answered cmd_defaults
};
extern UiHooks ui_hooks;

// Runs fn on the user-interface thread, from any thread, in posting order. While that thread waits
// for a synchronous send, fn is held back and runs after the wait, as it would on a blocked thread.
void post_to_ui(std::function<void()> fn);

// Runs fn now, or after the synchronous send the user-interface thread is waiting for. For work that
// reaches the user-interface thread by other ways than post_to_ui (device changes, activations).
void run_or_hold(std::function<void()> fn);

// Marks the user-interface thread as waiting for a synchronous send for the scope's lifetime.
class SyncWaitScope {
public:
    SyncWaitScope();
    ~SyncWaitScope();
    SyncWaitScope(const SyncWaitScope&) = delete;
    SyncWaitScope& operator=(const SyncWaitScope&) = delete;
};

// Wakes the user-interface thread out of a wait for events, from any thread.
void wake_ui();

// True while the user-interface thread waits for a synchronous send.
bool ui_waiting();
