// The request mailbox: order, exactly-once sending, synchronous results, polls on a stalled link,
// hand-overs from other threads, worker timers, and what the user-interface thread does while it waits.
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "core/worker_timer.h"
#include "protocol/commands.h"
#include "tests/support/wait.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <numeric>
#include <thread>

namespace {

uint16_t id_of(const Request& r) {
    return static_cast<uint16_t>(r.data[0] << 8 | r.data[1]);
}

Request numbered(uint8_t cmd, uint16_t id) {
    return Request{cmd, {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}};
}

// A worker serving a mailbox with the test's send; serving when the constructor returns.
struct Worker {
    Worker(Mailbox& box, std::function<bool(const Request&)> send) : box_(box) {
        constexpr uint8_t marker = 0x7F;
        std::promise<void> serving;
        box.post(Request{marker, {}});
        thread_ = std::thread([this, &serving, send = std::move(send)] {
            box_.serve([&](const Request& r) {
                if (r.cmd != marker)
                    return send(r);
                serving.set_value();
                return true;
            });
        });
        serving.get_future().wait();
    }
    ~Worker() {
        box_.stop();
        thread_.join();
    }
    Mailbox& box_;
    std::thread thread_;
};

} // namespace

TEST(Mailbox, SendsEveryRequestOnceInOrderAndGivesEachSynchronousSenderItsOwnResult) {
    UiHandover ui;
    Mailbox box(ui);
    std::mutex m;
    std::vector<uint16_t> sent;
    Worker worker(box, [&](const Request& r) {
        std::lock_guard lock(m);
        sent.push_back(id_of(r));
        return id_of(r) % 3 != 0; // results differ from request to request
    });

    // Settings replies keep handing refreshes over from another thread all along.
    int refreshes = 0;
    bool refreshed_while_waiting = false;
    const auto refresh = [&] {
        ++refreshes;
        refreshed_while_waiting |= ui.waiting();
    };
    std::atomic<bool> replies_done{false};
    std::thread input([&] {
        for (int i = 0; i < 2000 && !replies_done; ++i)
            ui.post(&box, refresh);
    });

    constexpr uint16_t count = 3000;
    int wrong_results = 0;
    for (uint16_t id = 1; id <= count; ++id) {
        if (id % 7 == 0) {
            const bool result = box.send_and_wait(numbered(0x43, id));
            wrong_results += result != (id % 3 != 0) ? 1 : 0;
        } else {
            box.post(numbered(0x42, id));
        }
        if (id % 100 == 0)
            QCoreApplication::processEvents(); // let refreshes in now and then
    }
    EXPECT_TRUE(box.send_and_wait(numbered(0x43, count + 1)));
    replies_done = true;
    input.join();

    std::vector<uint16_t> expected(count + 1);
    std::iota(expected.begin(), expected.end(), 1);
    std::lock_guard lock(m);
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(wrong_results, 0);
    EXPECT_GT(refreshes, 0);
    EXPECT_FALSE(refreshed_while_waiting);
    ui.forget(&box); // the refreshes still posted refer to this test's locals
}

TEST(Mailbox, ARefreshHandedOverJustBeforeASynchronousSendDoesNotBlockIt) {
    UiHandover ui;
    Mailbox box(ui);
    Worker worker(box, [](const Request&) { return true; });
    std::vector<std::string> order;
    for (int round = 0; round < 200; ++round) {
        ui.post(&box, [&] { order.push_back("refresh"); });
        EXPECT_TRUE(box.send_and_wait(Request{cmd_erase, {0, 0}}));
        order.push_back("sent");
        EXPECT_TRUE(wait_for([&] { return order.size() >= 2 * static_cast<std::size_t>(round + 1); }));
    }
}

TEST(Mailbox, PollsDoNotPileUpOnAStalledLinkAndWritesStillWaitingGoOutAsOne) {
    UiHandover ui;
    Mailbox box(ui);
    for (int i = 0; i < 1000; ++i) {
        box.post(Request{cmd_get_par, {}});
        box.post(Request{cmd_upd_poll, {}});
    }
    // The operator's quick changes: the write still waiting takes the newest block, in its place.
    box.post(Request{cmd_set_par, {1}, 1});
    box.post(Request{cmd_set_par, {2}, 2});
    box.post(Request{cmd_get_par, {}}); // a poll is still waiting: not queued again
    box.post(Request{cmd_set_par, {3}, 3});

    std::vector<uint8_t> sent;
    std::vector<uint8_t> written;
    std::thread worker([&] {
        box.serve([&](const Request& r) {
            sent.push_back(r.cmd);
            if (r.cmd == cmd_set_par)
                written = r.data;
            if (r.cmd == cmd_set_par)
                box.stop();
            return true;
        });
    });
    worker.join();
    EXPECT_EQ(sent, (std::vector<uint8_t>{cmd_get_par, cmd_upd_poll, cmd_set_par}));
    EXPECT_EQ(written, (std::vector<uint8_t>{3}));
}

TEST(Mailbox, APollIsQueuedAgainOnceTheWaitingOneHasBeenTaken) {
    UiHandover ui;
    Mailbox box(ui);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    int polls = 0;
    std::thread worker([&] {
        box.serve([&](const Request& r) {
            std::unique_lock lock(m);
            polls += r.cmd == cmd_get_par;
            cv.notify_all();
            cv.wait(lock, [&] { return release; }); // the link stalls inside the first send
            return true;
        });
    });
    box.post(Request{cmd_get_par, {}});
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return polls == 1; });
    }
    box.post(Request{cmd_get_par, {}}); // the first is being sent, not waiting
    box.post(Request{cmd_get_par, {}});
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return polls == 2; });
    }
    box.stop();
    worker.join();
    EXPECT_EQ(polls, 2);
    EXPECT_FALSE(box.pending()); // the third poll was not queued behind the second
}

TEST(WorkerTimer, TicksOnTheServingWorkerAndAStopReturnsOnlyOnceItsTickHasEnded) {
    using namespace std::chrono_literals;
    UiHandover ui;
    Mailbox box(ui);
    Worker worker(box, [](const Request&) { return true; });
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;
    bool inside = false;
    std::thread::id ticked_on;
    WorkerTimer timer(box, [&] {
        std::unique_lock lock(m);
        ticked_on = std::this_thread::get_id();
        entered = inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
        inside = false;
    });
    // A timer may also stop itself from its own tick.
    std::promise<void> stopped_itself;
    std::unique_ptr<WorkerTimer> once;
    once = std::make_unique<WorkerTimer>(box, [&] {
        once->stop();
        stopped_itself.set_value();
    });
    timer.start(1ms);
    once->start(1ms);
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return entered; });
        EXPECT_EQ(ticked_on, worker.thread_.get_id());
    }
    bool inside_when_stopped = true;
    std::thread stopper([&] {
        timer.stop();
        std::lock_guard lock(m);
        inside_when_stopped = inside;
    });
    {
        std::lock_guard lock(m);
        released = true;
    }
    cv.notify_all();
    stopper.join();
    EXPECT_FALSE(inside_when_stopped);
    EXPECT_FALSE(timer.isActive());
    stopped_itself.get_future().wait();
    EXPECT_FALSE(once->isActive());
}

TEST(Mailbox, ASynchronousSendWithoutAWorkerFailsAtOnce) {
    UiHandover ui;
    Mailbox box(ui);
    EXPECT_FALSE(box.send_and_wait(Request{cmd_defaults, {}}));
}

TEST(SynchronousSend, HoldsBackHandOversAndTimersUntilItEndsAndThenRunsThemInOrder) {
    UiHandover ui;
    Mailbox box(ui);
    std::vector<std::string> ran;
    Worker worker(box, [&](const Request& r) {
        if (r.cmd == cmd_write_flash) {
            // Hand-overs that arrive while the user-interface thread waits for this send.
            ui.post(&box, [&] { ran.push_back("first"); });
            ui.post(&box, [&] { ran.push_back("second"); });
        }
        return true;
    });

    bool timer_fired_while_waiting = false;
    bool timer_fired = false;
    QTimer timer; // a timer object, due at once (not a posted call)
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        timer_fired = true;
        timer_fired_while_waiting = ui.waiting();
    });
    timer.start(0);
    EXPECT_TRUE(box.send_and_wait(Request{cmd_write_flash, std::vector<uint8_t>(516)}));
    EXPECT_TRUE(ran.empty());
    ui.post(&box, [&] { ran.push_back("third"); });
    EXPECT_TRUE(wait_for([&] { return ran.size() == 3 && timer_fired; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_FALSE(timer_fired_while_waiting);
}

TEST(SynchronousSend, WorkHeldByADeviceChangeRunsAfterTheSend) {
    UiHandover ui;
    Mailbox box(ui);
    bool rediscovered_while_waiting = false;
    int rediscoveries = 0;
    Worker worker(box, [&](const Request& r) {
        if (r.cmd != cmd_defaults)
            return true;
        ui.post(&box, [&] {
            // A device change reaching this thread by another way keeps its place behind held work.
            ui.run_or_hold(&box, [&] {
                ++rediscoveries;
                rediscovered_while_waiting |= ui.waiting();
            });
        });
        return true;
    });
    EXPECT_TRUE(box.send_and_wait(Request{cmd_defaults, {}}));
    EXPECT_EQ(rediscoveries, 0);
    EXPECT_TRUE(wait_for([&] { return rediscoveries == 1; }));
    EXPECT_FALSE(rediscovered_while_waiting);
}

TEST(AnswerHold, DeviceChangesWaitForTheAwaitedAnswerOrItsLimitInArrivalOrder) {
    using namespace std::chrono_literals;
    UiHandover ui;
    std::vector<std::string> ran;
    ui.hold_for_answer(1h);
    ui.run_or_hold(nullptr, [&] { ran.emplace_back("rediscovery"); });
    ui.post(nullptr, [&] { ran.emplace_back("refresh"); });
    EXPECT_TRUE(ran.empty());
    // The answer comes on the input thread; its own hand-over runs behind the held work.
    std::thread([&] {
        ui.release_answer_hold();
        ui.post(nullptr, [&] { ran.emplace_back("answer"); });
    }).join();
    ASSERT_TRUE(wait_for([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"rediscovery", "refresh", "answer"}));

    // A unit that never answers holds the device changes back only for the limit.
    ui.hold_for_answer(1ms);
    ui.run_or_hold(nullptr, [&] { ran.emplace_back("late rediscovery"); });
    EXPECT_EQ(ran.size(), 3u);
    EXPECT_TRUE(wait_for([&] { return ran.size() == 4; }));
}
