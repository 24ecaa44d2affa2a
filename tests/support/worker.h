// A test's own link, and waiting for its worker to serve its mailbox.
#pragma once

#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "core/worker_timer.h"
#include "protocol/link.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

// Each test's link on a hand-over of its own: nothing of one test's link reaches the next.
struct TestLink {
    UiHandover ui;
    Link link{ui};
};

// Waits until `timer` (on `link`'s mailbox) has ticked `n` times. A worker's tick does not wake the
// user-interface thread, so a probe timer on the same worker wakes it four times an interval to look.
inline bool wait_for_ticks(Link& link, const WorkerTimer& timer, uint64_t n) {
    WorkerTimer probe(link.mailbox, [&link] { link.ui.wake(); });
    probe.start(std::chrono::milliseconds(std::max(1, timer.interval() / 4)));
    return wait_for([&] { return timer.ticks() >= n; });
}

// The link's first activation starts the worker's thread, but a synchronous send fails at once until
// that thread serves the mailbox, which on a loaded machine can be well after the unit is open. A
// worker timer ticks only on a serving worker and sends the unit nothing, so its tick is the sign.
inline bool wait_for_worker(Link& link) {
    WorkerTimer probe(link.mailbox, [] {});
    probe.start(std::chrono::milliseconds(1));
    return wait_for_ticks(link, probe, 1);
}

// A test with a link of its own, built before the test's body and gone after it.
class LinkTest : public ::testing::Test {
protected:
    UiHandover ui;
    Link link{ui};
};
