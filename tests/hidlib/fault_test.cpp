// The library under devices and hosts that misbehave: late answers, floods, silent devices, handlers
// that take the host's locks, reports that do not fit.
#include "tests/hidlib/handler_log.h"
#include "tests/hidlib/loaded_module.h"
#include "tests/support/hostile_devices.h"
#include "tests/support/wait.h"

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A latch the device side waits on, so that "late" is decided by the test, not by a clock.
struct Latch {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void release() {
        {
            std::lock_guard lock(m);
            open = true;
        }
        cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return open; });
    }
};

int index_of(LoadedModule& lib, int n, const std::string& serial) {
    for (int i = 0; i < n; ++i)
        if (text(lib.info(static_cast<uint8_t>(i)).SerialNumber) == serial)
            return i;
    return -1;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override { watch_handlers(); }
    LoadedModule lib;
};

} // namespace

TEST_F(Faults, ALateAnswerIsDiscardedAndTheNextRequestGetsItsOwn) {
    Latch late;
    std::atomic<int> calls{0};
    VirtualHidDevice device("unit", identity("1"));
    // The first request is answered "accepted" only after the host has given up on it; later ones
    // are answered at once, accepted when their first data byte is non-zero.
    device.on_set_output = [&](const VirtualHidDevice::Report& r) {
        if (++calls == 1)
            late.wait();
        return r[1] != 0;
    };
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));

    EXPECT_EQ(lib.HIDSetOutputReport(report_with(1, 1).data()), 0); // timed out
    late.release();
    // Taking the late "accepted" for this request's own answer would give non-zero here.
    EXPECT_EQ(lib.HIDSetOutputReport(report_with(1, 0).data()), 0);
    EXPECT_NE(lib.HIDSetOutputReport(report_with(1, 2).data()), 0);
    EXPECT_EQ(calls, 3);
    device.unplug();
}

TEST_F(Faults, AfterCloseNoReportOfTheClosedDeviceReachesAnyHandler) {
    static std::atomic<bool> closed{false};
    static std::atomic<int> after_close{0};
    static std::atomic<int> from_flood{0};
    static std::atomic<bool> marker{false};
    // A handler that takes a millisecond a report, against a device that never stops sending.
    const THIDeventHandler slow = [](THIDreport report, uint8_t) {
        if (report.Data[0] == 'A') {
            ++from_flood;
            after_close += closed ? 1 : 0;
        } else if (report.Data[0] == 'B') {
            marker = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    VirtualHidDevice flood("a", identity("A"));
    VirtualHidDevice other("b", identity("B"));
    ASSERT_TRUE(flood.plug());
    ASSERT_TRUE(other.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 2);
    ASSERT_TRUE(lib.HIDopenDevice(static_cast<uint8_t>(index_of(lib, 2, "A"))));
    lib.HIDsetEventHandler(slow);
    ASSERT_TRUE(wait_for([&] { return flood.open_count() == 1; }));
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop)
            flood.send_input(report_with(1, 'A'));
    });
    ASSERT_TRUE(wait_for([&] { return from_flood > 10; }));

    lib.HIDcloseDevice();
    closed = true;
    ASSERT_TRUE(lib.HIDopenDevice(static_cast<uint8_t>(index_of(lib, 2, "B"))));
    lib.HIDsetEventHandler(slow); // a new handler for the next device, as a host would set
    ASSERT_TRUE(wait_for([&] { return other.open_count() == 1; }));
    other.send_input(report_with(1, 'B'));
    ASSERT_TRUE(wait_for([&] { return marker.load(); }));
    stop = true;
    sender.join();
    EXPECT_EQ(after_close, 0);
    lib.HIDsetEventHandler(nullptr);
}

TEST_F(Faults, ReplacingTheHandlerNeverWaitsButClearingItWaitsForACallUnderWay) {
    static std::mutex host_lock; // the host's own lock, which its handler takes
    static Latch* entered;
    static std::atomic<bool> finished{false};
    Latch in_handler;
    entered = &in_handler;
    const THIDeventHandler guarded = [](THIDreport, uint8_t) {
        entered->release();
        std::lock_guard lock(host_lock);
        finished = true;
    };
    const THIDeventHandler other = [](THIDreport, uint8_t) {};
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    {
        std::lock_guard lock(host_lock);
        lib.HIDsetEventHandler(guarded);
        device.send_input(report_with(1, 1));
        in_handler.wait();             // the handler now waits for host_lock
        lib.HIDsetEventHandler(other); // returns although the call under way cannot end yet
    }
    // With the lock free, clearing waits until the call under way has ended.
    lib.HIDsetEventHandler(guarded);
    lib.HIDsetEventHandler(nullptr);
    EXPECT_TRUE(finished);
}

TEST_F(Faults, SilentDevicesAreLeftOutAndOneThatAnswersLateIsReportedAsAChange) {
    const SilentSockets mute(3, "m");
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    lib.USBsetEventHandler(&on_change);
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    EXPECT_EQ(text(lib.info(0).SerialNumber), "1");

    // m2 finally answers its question.
    const int changes = seen.changes;
    const int conn = ::accept4(mute.fd(1), nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn, 0);
    uint8_t hello[2];
    ASSERT_EQ(::recv(conn, hello, sizeof hello, 0), 2);
    const auto info = vhid_protocol::encode(identity("late"));
    ASSERT_EQ(::send(conn, info.data(), info.size(), MSG_NOSIGNAL), static_cast<ssize_t>(info.size()));
    ASSERT_TRUE(wait_for([&] { return seen.changes > changes; }));
    EXPECT_TRUE(seen.change_on_loading_thread);
    EXPECT_EQ(lib.HIDscanForDevices(), 2);
    lib.USBsetEventHandler(nullptr);
    ::close(conn);
}

TEST_F(Faults, AnOutputReportLongerThanTheRecordIsRefusedAndALongSocketNameIsReachable) {
    auto wide = identity("W");
    wide.descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
                       0x00, 0x75, 0x08, 0x95, 0xC7, 0x09, 0x02, 0x91, 0x02, 0xC0}; // 200-byte output report
    std::atomic<int> written{0};
    // The longest name a file system takes: far past what a socket address holds.
    VirtualHidDevice device(std::string(250, 'n'), wide);
    device.on_output = [&](const VirtualHidDevice::Report&) { ++written; };
    ASSERT_TRUE(device.plug()) << device.error();
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    EXPECT_EQ(lib.info(0).OutputReportByteLength, 200);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    THIDreport report{};
    EXPECT_EQ(lib.HIDwriteDevice(report), 0);
    lib.HIDcloseDevice();
    device.unplug();
    EXPECT_EQ(written, 0);
}

TEST(Unloading, TwentyLoadsAndUnloadsLeaveNoThreadDescriptorOrMemoryBehind) {
    // Memory is checked by the leak sanitizer at exit in the sanitizer builds; here the descriptors.
    const auto descriptors = [] { return count_entries("/proc/self/fd"); };
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    const int before = descriptors();
    for (int i = 0; i < 20; ++i) {
        LoadedModule lib;
        lib.USBsetEventHandler(&on_change);
        lib.HIDsetEventHandler(&on_input);
        ASSERT_EQ(lib.HIDscanForDevices(), 1);
        ASSERT_TRUE(lib.HIDopenDevice(0));
        lib.HIDcloseDevice();
    }
    // The device, in this process too, closes its ends once it has seen the hang-ups.
    ASSERT_TRUE(device.wait_unconnected(std::chrono::seconds(10)));
    EXPECT_EQ(descriptors(), before);
}

TEST_F(Faults, AHandlerThatHangsOverAReportOfTheClosingDeviceDoesNotHangTheClose) {
    static Latch* entered;
    static Latch* let_go;
    static std::atomic<int> calls{0};
    Latch in_handler;
    Latch release;
    entered = &in_handler;
    let_go = &release;
    const THIDeventHandler hanging = [](THIDreport, uint8_t) {
        ++calls;
        entered->release();
        let_go->wait();
    };
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    lib.HIDsetEventHandler(hanging);
    device.send_input(report_with(1, 1));
    device.send_input(report_with(1, 2)); // waiting behind the hung call when the close comes
    in_handler.wait();
    lib.HIDcloseDevice(); // returns once the hung call has run past the library's limit
    release.release();
    lib.HIDsetEventHandler(nullptr); // waits for the call under way to end
    EXPECT_EQ(calls, 1) << "the report that waited is not delivered after the close gave up";
}

TEST_F(Faults, ACloseHasOneLimitHoweverManyReportsWaitForASlowHandler) {
    static std::atomic<int> calls{0};
    static Latch* called;
    Latch first_call;
    called = &first_call;
    // A handler far slower than the unit: each call takes 400 ms, within what one call may take.
    const THIDeventHandler slow = [](THIDreport, uint8_t) {
        ++calls;
        called->release();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    };
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    lib.HIDsetEventHandler(slow);
    for (uint8_t i = 1; i <= 5; ++i)
        device.send_input(report_with(1, i));
    first_call.wait();
    lib.HIDcloseDevice(); // all five would take two seconds
    lib.HIDsetEventHandler(nullptr);
    EXPECT_LT(calls, 5) << "the reports still waiting at the close's limit are dropped";
}

TEST(SilentSocketsInNumbers, CannotUseUpTheHostsDescriptorsAndTheUnitIsStillFound) {
    watch_handlers();
    // Sockets that never answer, sorted before the unit, more than the host has descriptors to spare.
    SilentSockets silent(120, "a-silent-");
    VirtualHidDevice unit("z-unit", identity("Z"));
    ASSERT_TRUE(unit.plug());
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit tight{static_cast<rlim_t>(count_entries("/proc/self/fd") + 80), limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    {
        LoadedModule lib;
        lib.USBsetEventHandler(&on_change);
        EXPECT_GE(lib.scan_for("Z", 30000), 0) << "found once the silent ones have been given up";
        EXPECT_LT(count_entries("/proc/self/fd"), static_cast<int>(tight.rlim_cur) - 10);
        lib.USBsetEventHandler(nullptr);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
}
