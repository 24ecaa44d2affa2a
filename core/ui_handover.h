// Handing work to the user-interface thread, held back while that thread waits for a synchronous send.
#pragma once

#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

// The unit as discovery found it: what the operator is shown of it.
struct UnitIdentity {
    QString product; // "RV-390PKTA", or "RV-390PKTA(boot)" in its boot loader
    QString serial;
    QString version; // "major.minor"
    QString path;    // the node or bus path
};

// What the opened unit runs.
enum class OpenedMode { normal, boot_loader };

// The one way the link tells the windows anything: the windows fill these in when they are created,
// the link calls them on the user-interface thread only (from other threads through post_to_ui). With
// none filled in, the link works all the same.
struct UiHooks {
    std::function<void()> refresh;              // a settings block from the unit is in `par`
    std::function<void(const QString&)> error;  // a plain message box with an error's text
    std::function<void(bool ok)> update_result; // the unit answered cmd_finish
    std::function<void()> defaults_reset;       // the unit answered cmd_defaults
    // Discovery: the unit found (an empty identity: none), the mode it was opened in, whether the
    // settings controls may be used, and a line for the operator (empty: nothing to say).
    std::function<void(const UnitIdentity&)> unit_identity;
    std::function<void(OpenedMode)> unit_opened;
    std::function<void(bool enable)> settings_controls;
    std::function<void(const QString&)> note;
    // How the link is doing, or what became of the operator's changes, may have changed.
    std::function<void()> link_changed;
    // Every settings block the unit sends, as sent, in arrival order, with the command it answers
    // (cmd_get_par or cmd_set_par): for a host that waits for the answer to its own request.
    std::function<void(uint8_t command, const std::array<uint8_t, 17>& block)> settings_reply;
};
extern UiHooks ui_hooks;
// Set by a host that fills in settings_reply, before the link starts: only then does the input thread hand
// every reply over (the windows need none of them, and an idle window should not wake for them).
extern std::atomic<bool> settings_replies_wanted;

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

// Holds work back, as a synchronous send does, from now until release_answer_hold() or until `limit`
// has passed: for a request whose answer a device change would lose. The unit answers cmd_finish and
// then restarts; a discovery run in between would close the unit and drop the answer with it.
// User-interface thread.
void hold_for_answer(std::chrono::milliseconds limit);
// From any thread: the awaited answer is in (or no longer awaited); held work runs again.
void release_answer_hold();

// Wakes the user-interface thread out of a wait for events, from any thread.
void wake_ui();

// True while the user-interface thread waits for a synchronous send.
bool ui_waiting();
