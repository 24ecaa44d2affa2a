// The request mailbox: order, exactly-once sending, synchronous results, polls on a stalled link,
// refresh hand-offs, worker timers, and what the user-interface thread does while it waits.
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
    return Request{cmd, {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}, false};
}

// A worker serving a mailbox with the test's send; serving when the constructor returns.
struct Worker {
    Worker(Mailbox& box, std::function<bool(const Request&)> send) : box_(box) {
        constexpr uint8_t marker = 0x7F;
        std::promise<void> serving;
        box.post(Request{marker, {}, false});
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
    Mailbox box;
    std::mutex m;
    std::vector<uint16_t> sent;
    Worker worker(box, [&](const Request& r) {
        std::lock_guard lock(m);
        sent.push_back(id_of(r));
        return id_of(r) % 3 != 0; // results differ from request to request
    });

    // Settings replies keep asking for refreshes from another thread all along.
    int refreshes = 0;
    bool refreshed_while_waiting = false;
    ui_hooks.refresh = [&] {
        ++refreshes;
        refreshed_while_waiting |= ui_waiting();
    };
    std::atomic<bool> replies_done{false};
    std::thread input([&] {
        for (int i = 0; i < 2000 && !replies_done; ++i)
            box.request_refresh();
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
    ui_hooks.refresh = nullptr;
}

TEST(Mailbox, ARefreshHandedOverJustBeforeASynchronousSendDoesNotBlockIt) {
    Mailbox box;
    Worker worker(box, [](const Request&) { return true; });
    std::vector<std::string> order;
    ui_hooks.refresh = [&] { order.push_back("refresh"); };
    for (int round = 0; round < 200; ++round) {
        box.request_refresh();
        EXPECT_TRUE(box.send_and_wait(Request{cmd_erase, {0, 0}, false}));
        order.push_back("sent");
        EXPECT_TRUE(wait_for([&] { return order.size() >= 2 * static_cast<std::size_t>(round + 1); }));
    }
    ui_hooks.refresh = nullptr;
}

TEST(Mailbox, PollsDoNotPileUpOnAStalledLink) {
    Mailbox box;
    for (int i = 0; i < 1000; ++i) {
        box.post(Request{cmd_get_par, {}, false});
        box.post(Request{cmd_upd_poll, {}, false});
    }
    box.post(Request{cmd_set_par, {}, true});
    box.post(Request{cmd_get_par, {}, false}); // a poll is still waiting: not queued again

    std::vector<uint8_t> sent;
    std::thread worker([&] {
        box.serve([&](const Request& r) {
            sent.push_back(r.cmd);
            if (r.cmd == cmd_set_par)
                box.stop();
            return true;
        });
    });
    worker.join();
    EXPECT_EQ(sent, (std::vector<uint8_t>{cmd_get_par, cmd_upd_poll, cmd_set_par}));
}

TEST(Mailbox, APollIsQueuedAgainOnceTheWaitingOneHasBeenTaken) {
    Mailbox box;
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
    box.post(Request{cmd_get_par, {}, false});
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return polls == 1; });
    }
    box.post(Request{cmd_get_par, {}, false}); // the first is being sent, not waiting
    box.post(Request{cmd_get_par, {}, false});
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
    Mailbox box;
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
    Mailbox box;
    EXPECT_FALSE(box.send_and_wait(Request{cmd_defaults, {}, false}));
}

TEST(SynchronousSend, HoldsBackHandOversAndTimersUntilItEndsAndThenRunsThemInOrder) {
    Mailbox box;
    std::vector<std::string> ran;
    Worker worker(box, [&](const Request& r) {
        if (r.cmd == cmd_write_flash) {
            // Hand-overs that arrive while the user-interface thread waits for this send.
            post_to_ui([&] { ran.push_back("first"); });
            post_to_ui([&] { ran.push_back("second"); });
        }
        return true;
    });

    bool timer_fired_while_waiting = false;
    bool timer_fired = false;
    QTimer timer; // a timer object, due at once (not a posted call)
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        timer_fired = true;
        timer_fired_while_waiting = ui_waiting();
    });
    timer.start(0);
    EXPECT_TRUE(box.send_and_wait(Request{cmd_write_flash, std::vector<uint8_t>(516), false}));
    EXPECT_TRUE(ran.empty());
    post_to_ui([&] { ran.push_back("third"); });
    EXPECT_TRUE(wait_for([&] { return ran.size() == 3 && timer_fired; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_FALSE(timer_fired_while_waiting);
}

TEST(SynchronousSend, WorkHeldByADeviceChangeRunsAfterTheSend) {
    Mailbox box;
    bool rediscovered_while_waiting = false;
    int rediscoveries = 0;
    Worker worker(box, [&](const Request& r) {
        if (r.cmd != cmd_defaults)
            return true;
        post_to_ui([&] {
            // A device change reaching this thread by another way keeps its place behind held work.
            run_or_hold([&] {
                ++rediscoveries;
                rediscovered_while_waiting |= ui_waiting();
            });
        });
        return true;
    });
    EXPECT_TRUE(box.send_and_wait(Request{cmd_defaults, {}, false}));
    EXPECT_EQ(rediscoveries, 0);
    EXPECT_TRUE(wait_for([&] { return rediscoveries == 1; }));
    EXPECT_FALSE(rediscovered_while_waiting);
}

TEST(AnswerHold, DeviceChangesWaitForTheAwaitedAnswerOrItsLimitInArrivalOrder) {
    using namespace std::chrono_literals;
    std::vector<std::string> ran;
    hold_for_answer(1h);
    run_or_hold([&] { ran.emplace_back("rediscovery"); });
    post_to_ui([&] { ran.emplace_back("refresh"); });
    EXPECT_TRUE(ran.empty());
    // The answer comes on the input thread; its own hand-over runs behind the held work.
    std::thread([&] {
        release_answer_hold();
        post_to_ui([&] { ran.emplace_back("answer"); });
    }).join();
    ASSERT_TRUE(wait_for([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"rediscovery", "refresh", "answer"}));

    // A unit that never answers holds the device changes back only for the limit.
    hold_for_answer(1ms);
    run_or_hold([&] { ran.emplace_back("late rediscovery"); });
    EXPECT_EQ(ran.size(), 3u);
    EXPECT_TRUE(wait_for([&] { return ran.size() == 4; }));
}
