// The HID access library as the utility sees it: the built module, virtual devices on the bus.
#include "tests/hidlib/handler_log.h"
#include "tests/hidlib/loaded_module.h"
#include "tests/support/wait.h"

#include <QThread>

#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>

namespace {

class Library : public ::testing::Test {
protected:
    void SetUp() override { watch_handlers(); }
    LoadedModule lib;
};

} // namespace

TEST_F(Library, ExportsExactlyTheEighteenEntryPoints) {
    int bound = 0;
#define COUNT(name, result, params) bound += lib.name != nullptr;
    HID_ENTRY_POINTS(COUNT)
#undef COUNT
    EXPECT_EQ(bound, 18);
    EXPECT_EQ(dlsym(lib.handle, "_ZN12HIDinterface4scanEv"), nullptr); // internals stay hidden
}

TEST_F(Library, WithNoDevicesTheScanFindsNoneAndResetsEverySlot) {
    EXPECT_EQ(lib.info(0).Handle, -1) << "no slot is open before the first scan either";
    EXPECT_EQ(lib.HIDscanForDevices(), 0);
    for (int i = 0; i < 32; ++i) {
        const THIDdeviceInfo info = lib.info(static_cast<uint8_t>(i));
        EXPECT_EQ(info.Handle, -1);
        EXPECT_EQ(info.VendorID, 0);
        EXPECT_EQ(info.DevicePath.Length, 0);
        EXPECT_EQ(info.OutputReportByteLength, 0);
    }
}

TEST_F(Library, DescribesAVirtualDeviceInItsRecord) {
    VirtualHidDevice device("unit", identity("SN-7"));
    ASSERT_TRUE(device.plug()) << device.error();
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    const THIDdeviceInfo info = lib.info(0);
    EXPECT_EQ(info.VendorID, 0x1234);
    EXPECT_EQ(info.ProductID, 0x5678);
    EXPECT_EQ(info.VersionNumber, 0x0103);
    EXPECT_EQ(text(info.Manufacturer), "Maker");
    EXPECT_EQ(text(info.Product), "Widget");
    EXPECT_EQ(text(info.SerialNumber), "SN-7");
    EXPECT_EQ(info.OutputReportByteLength, 65);
    EXPECT_EQ(info.InputReportByteLength, 65);
    EXPECT_EQ(info.FeatureReportByteLength, 0);
    EXPECT_EQ(info.CanReadWrite, 1);
    EXPECT_EQ(info.Handle, -1);
    EXPECT_EQ(text(info.DevicePath), device.path() + '\0'); // the NUL is counted in the length byte
    EXPECT_EQ(info.InputItems[0].ReportCount, 64);
    EXPECT_EQ(info.InputItems[0].ReportID, 1);

    // The record as bytes: the manufacturer's length byte at 422, CanReadWrite last.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_EQ(bytes[422], 5);
    EXPECT_EQ(std::memcmp(bytes + 423, "Maker", 5), 0);
    EXPECT_EQ(bytes[1190], 1);
}

TEST_F(Library, KeepsTheFirstThirtyTwoOfFortyDevicesInOrder) {
    std::vector<std::unique_ptr<VirtualHidDevice>> devices;
    for (int i = 0; i < 40; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "dev%02d", i);
        devices.push_back(std::make_unique<VirtualHidDevice>(name, identity(name)));
        ASSERT_TRUE(devices.back()->plug()) << devices.back()->error();
    }
    ASSERT_EQ(lib.HIDscanForDevices(), 32);
    for (int i = 0; i < 32; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "dev%02d", i);
        EXPECT_EQ(text(lib.info(static_cast<uint8_t>(i)).SerialNumber), name);
    }
    // Index 31 is the last slot; 32 leaves the caller's record alone.
    EXPECT_EQ(text(lib.info(31).SerialNumber), "dev31");
    THIDdeviceInfo untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    lib.HIDGetDeviceInfo(32, &untouched);
    EXPECT_EQ(untouched.VendorID, 0xABAB);
}

TEST_F(Library, NeverStoresADeviceWithoutVendorOrProductAndFillsInAMissingSerial) {
    VirtualHidDevice no_vendor("a", identity("1", 0, 0x5678));
    VirtualHidDevice no_product("b", identity("2", 0x1234, 0));
    auto anonymous = identity("");
    anonymous.serial.reset();
    VirtualHidDevice no_serial("c", anonymous);
    for (auto* d : {&no_vendor, &no_product, &no_serial})
        ASSERT_TRUE(d->plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    const THIDdeviceInfo info = lib.info(0);
    EXPECT_EQ(info.SerialNumber.Length, 3);
    EXPECT_EQ(text(info.SerialNumber), "---");
}

TEST_F(Library, AQueryOnlyDeviceIsListedButCannotBeReadOrWritten) {
    auto id = identity("Q");
    id.flags = vhid_protocol::FLAG_QUERY_ONLY;
    VirtualHidDevice device("q", id);
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    EXPECT_EQ(lib.info(0).CanReadWrite, 0);
    ASSERT_TRUE(lib.HIDopenDevice(0)); // a handle for queries
    EXPECT_EQ(lib.HIDInputReportSize(), 65);
    const auto r = report_with(1, 9);
    THIDreport report;
    std::memcpy(&report, r.data(), sizeof report);
    EXPECT_EQ(lib.HIDwriteDevice(report), 0);
    EXPECT_EQ(lib.HIDSetOutputReport(r.data()), 0);
}

TEST_F(Library, OpensOnceClosesOnlyTheCurrentDeviceAndAnswersNothingWithoutOne) {
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    lib.HIDcloseDevice(); // nothing current: nothing happens
    EXPECT_EQ(lib.HIDOutputReportSize(), 0);
    EXPECT_EQ(lib.HIDInputReportCount(1), 0);

    EXPECT_TRUE(lib.HIDopenDevice(0));
    const int32_t handle = lib.info(0).Handle;
    EXPECT_NE(handle, -1);
    EXPECT_TRUE(lib.HIDopenDevice(0));
    EXPECT_EQ(lib.info(0).Handle, handle);
    EXPECT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    EXPECT_EQ(lib.HIDOutputReportSize(), 65);

    lib.HIDcloseDevice();
    EXPECT_EQ(lib.info(0).Handle, -1);
    EXPECT_TRUE(wait_for([&] { return device.open_count() == 0; }));
    EXPECT_EQ(lib.HIDOutputReportSize(), 0);
}

TEST_F(Library, MovesReportsBothWaysOnBothPaths) {
    VirtualHidDevice device("unit", identity("1"));
    std::mutex m;
    std::vector<std::vector<uint8_t>> outputs;
    device.on_set_output = [&](const std::vector<uint8_t>& r) {
        std::lock_guard lock(m);
        outputs.push_back(r);
        return true;
    };
    device.on_output = [&](const std::vector<uint8_t>& r) {
        std::lock_guard lock(m);
        outputs.push_back(r);
    };
    device.on_get_input = [](uint8_t id, uint16_t length) {
        std::vector<uint8_t> r(length, 0x33);
        r[0] = id;
        return std::optional(r);
    };
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));

    auto out = report_with(1, 0x42);
    EXPECT_EQ(lib.HIDSetOutputReport(out.data()), 64);
    THIDreport report;
    std::memcpy(&report, out.data(), sizeof report);
    report.Data[0] = 0x43;
    EXPECT_EQ(lib.HIDwriteDevice(report), 64);

    std::vector<uint8_t> in(65, 0);
    in[0] = 1;
    EXPECT_EQ(lib.HIDGetInputReport(in.data()), 64);
    EXPECT_EQ(in[64], 0x33);
    EXPECT_EQ(lib.HIDGetFeatureReport(in.data()), 0); // no feature report

    lib.HIDsetEventHandler(&on_input);
    device.send_input(report_with(1, 0x77));
    ASSERT_TRUE(wait_reports(1));
    {
        std::lock_guard lock(seen.m);
        EXPECT_EQ(seen.reports[0][1], 0x77);
        EXPECT_EQ(seen.counts[0], 64);
        EXPECT_TRUE(seen.on_library_thread);
    }
    std::lock_guard lock(m);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].size(), 65u);
    EXPECT_EQ(outputs[0][1], 0x42);
    EXPECT_EQ(outputs[1][1], 0x43);
}

TEST_F(Library, ReportsWaitingWithoutAHandlerAreDeliveredOldestFirstOnceOneIsRegistered) {
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    for (uint8_t i = 0; i < 20; ++i)
        device.send_input(report_with(1, i));
    lib.HIDsetEventHandler(&on_input);
    ASSERT_TRUE(wait_reports(20));
    std::lock_guard lock(seen.m);
    for (uint8_t i = 0; i < 20; ++i)
        EXPECT_EQ(seen.reports[i][1], i);
}

TEST_F(Library, ClearingTheHandlerStopsReading) {
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    lib.HIDsetEventHandler(&on_input);
    ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    device.send_input(report_with(1, 1));
    ASSERT_TRUE(wait_reports(1));

    lib.HIDsetEventHandler(nullptr);
    device.send_input(report_with(1, 2));
    device.send_input(report_with(1, 3));
    // The reports are still waiting: a read by the host gets the older one.
    THIDreport got{};
    EXPECT_TRUE(wait_for([&] { return lib.HIDreadDevice(&got) != 0; }));
    EXPECT_EQ(got.Data[0], 2);
    std::lock_guard lock(seen.m);
    EXPECT_EQ(seen.reports.size(), 1u);
}

TEST_F(Library, ReportsSentBeforeACloseStillReachTheHandler) {
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    lib.HIDsetEventHandler(&on_input);
    ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));
    for (uint8_t i = 0; i < 30; ++i)
        device.send_input(report_with(1, i));
    lib.HIDcloseDevice(); // as discovery does when the unit drops off right after answering
    std::lock_guard lock(seen.m);
    ASSERT_EQ(seen.reports.size(), 30u);
    for (uint8_t i = 0; i < 30; ++i)
        EXPECT_EQ(seen.reports[i][1], i);
}

TEST_F(Library, ReadingWithNothingWaitingLeavesTheCallersReportAlone) {
    VirtualHidDevice device("unit", identity("1"));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    THIDreport r;
    std::memset(&r, 0x5A, sizeof r);
    EXPECT_EQ(lib.HIDreadDevice(&r), 0);
    EXPECT_EQ(r.Data[10], 0x5A);
}

TEST_F(Library, AnUnplugWhileOpenFailsEveryTransferAndCallsTheChangeHandlerOnTheLoadingThread) {
    auto device = std::make_unique<VirtualHidDevice>("unit", identity("1"));
    ASSERT_TRUE(device->plug());
    lib.USBsetEventHandler(&on_change);
    lib.HIDsetEventHandler(&on_input);
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    ASSERT_TRUE(wait_for([&] { return device->open_count() == 1; }));
    seen.changes = 0;

    device.reset(); // unplugged
    ASSERT_TRUE(wait_for([&] { return seen.changes > 0; }));
    EXPECT_TRUE(seen.change_on_loading_thread);
    auto out = report_with(1, 1);
    EXPECT_EQ(lib.HIDSetOutputReport(out.data()), 0);
    EXPECT_EQ(lib.HIDGetInputReport(out.data()), 0);
    THIDreport r{};
    EXPECT_EQ(lib.HIDwriteDevice(r), 0);
    EXPECT_EQ(lib.HIDreadDevice(&r), 0);
    EXPECT_EQ(lib.HIDscanForDevices(), 0);
}

TEST_F(Library, AnEmptyChangeHandlerStopsTheCalls) {
    lib.USBsetEventHandler(&on_change);
    VirtualHidDevice first("one", identity("1"));
    ASSERT_TRUE(first.plug());
    ASSERT_TRUE(wait_for([&] { return seen.changes > 0; }));

    lib.USBsetEventHandler(nullptr);
    const int before = seen.changes;
    VirtualHidDevice second("two", identity("2"));
    ASSERT_TRUE(second.plug());
    second.unplug();
    wait_for([] { return false; }, 200); // bounded: time for the watcher to see both events
    EXPECT_EQ(seen.changes, before);
}

TEST_F(Library, UnloadingStopsTheInputThreadAndReleasesEveryDescriptor) {
    lib.unload();
    const int fds_before = count_entries("/proc/self/fd");
    const int threads_before = count_entries("/proc/self/task");
    {
        LoadedModule again;
        VirtualHidDevice device("unit", identity("1"));
        ASSERT_TRUE(device.plug());
        ASSERT_EQ(again.HIDscanForDevices(), 1);
        ASSERT_TRUE(again.HIDopenDevice(0));
        again.HIDsetEventHandler(&on_input);
        device.send_input(report_with(1, 1));
        ASSERT_TRUE(wait_reports(1));
        again.unload(); // while a device is open and a handler set
        device.unplug();
    }
    EXPECT_EQ(count_entries("/proc/self/fd"), fds_before);
    EXPECT_EQ(count_entries("/proc/self/task"), threads_before);
}

TEST(ItemCount, FollowsTheTableRule) {
    LoadedModule lib;
    // Two value items of report 2 with counts 10 and 20, and one 512-bit item of report 3.
    const std::vector<uint8_t> descriptor{
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                         //
        0x85, 0x02, 0x75, 0x08, 0x95, 0x0A, 0x09, 0x01, 0x91, 0x02,       // ID 2: 10 × 8 bits
        0x95, 0x14, 0x09, 0x02, 0x91, 0x02,                               //       20 × 8 bits
        0x85, 0x03, 0x76, 0x00, 0x02, 0x95, 0x01, 0x09, 0x03, 0x91, 0x02, // ID 3: 1 × 512 bits
        0xC0};
    VirtualHidDevice device("unit", identity("1", 0x1234, 0x5678, descriptor));
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    EXPECT_EQ(lib.HIDOutputReportCount(2), 30);
    const THIDdeviceInfo info = lib.info(0);
    EXPECT_EQ(info.OutputItems[2].BitSize, 0); // 512 keeps its low byte
    EXPECT_EQ(info.OutputItems[2].ReportID, 3);
    EXPECT_EQ(info.OutputReportByteLength, 65);
    // An ID with no item falls back to the length minus one.
    EXPECT_EQ(lib.HIDOutputReportCount(9), 64);
    EXPECT_EQ(lib.HIDInputReportCount(1), 255); // no input report: length 0 gives 255
}

TEST(ItemCount, AOneByteReportWithNoValueItemCountsZeroEvenWhenItsTransferSucceeds) {
    LoadedModule lib;
    // An output report that carries nothing but its ID byte.
    const std::vector<uint8_t> descriptor{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, //
                                          0x75, 0x00, 0x95, 0x00, 0x91, 0x02,       // 0 × 0 bits
                                          0xC0};
    VirtualHidDevice device("unit", identity("1", 0x1234, 0x5678, descriptor));
    std::atomic<bool> reached{false};
    device.on_set_output = [&](const std::vector<uint8_t>&) { return reached = true; };
    ASSERT_TRUE(device.plug());
    ASSERT_EQ(lib.HIDscanForDevices(), 1);
    ASSERT_TRUE(lib.HIDopenDevice(0));
    ASSERT_EQ(lib.HIDOutputReportSize(), 1);
    uint8_t buffer[1] = {0};
    EXPECT_EQ(lib.HIDSetOutputReport(buffer), 0);
    EXPECT_TRUE(reached);
}
