// Waiting in tests for the worker to serve the mailbox.
#pragma once

#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "core/worker_timer.h"
#include "tests/support/wait.h"

#include <algorithm>
#include <chrono>
#include <utility>

// The link's first activation starts the worker's thread, but a synchronous send fails at once until
// that thread serves the mailbox, which on a loaded machine can be well after the unit is open. A
// refresh hand-off goes through the serving worker to the user-interface thread and sends the unit
// nothing, so its arrival is the sign. The main window's refresh hook is set aside meanwhile.
inline bool wait_for_worker() {
    bool served = false;
    auto refresh = std::exchange(ui_hooks.refresh, [&served] { served = true; });
    mailbox.request_refresh();
    const bool ok = wait_for([&] { return served; });
    ui_hooks.refresh = std::move(refresh);
    return ok;
}

// Waits until `timer` (on the program's mailbox) has ticked `n` times. A worker's tick does not wake
// the user-interface thread, so a probe timer on the same worker wakes it four times an interval to look.
inline bool wait_for_ticks(const WorkerTimer& timer, uint64_t n) {
    WorkerTimer probe(mailbox, [] { wake_ui(); });
    probe.start(std::chrono::milliseconds(std::max(1, timer.interval() / 4)));
    return wait_for([&] { return timer.ticks() >= n; });
}
