// The library against devices that lie about their reports: a host's 65-byte record, with a page that
// faults on any access right behind it, is all the library ever reads or writes of the host's memory.
#include "tests/hidlib/handler_log.h"
#include "tests/hidlib/loaded_module.h"
#include "tests/support/hostile_devices.h"

#include <algorithm>
#include <atomic>
#include <sys/mman.h>

namespace {

// A record at the very end of a readable page: one byte past it faults.
class GuardedRecord {
public:
    GuardedRecord() : page_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
        base_ = ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(::mprotect(static_cast<char*>(base_) + page_, page_, PROT_NONE), 0);
        bytes = static_cast<uint8_t*>(base_) + page_ - sizeof(THIDreport);
    }
    ~GuardedRecord() { ::munmap(base_, 2 * page_); }
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;

    // Report ID 1 and a pattern that shows whether anything was written.
    void fill() {
        std::fill(bytes, bytes + sizeof(THIDreport), uint8_t{0x5A});
        bytes[0] = 1;
    }
    bool untouched() const {
        return bytes[0] == 1 &&
               std::all_of(bytes + 1, bytes + sizeof(THIDreport), [](uint8_t b) { return b == 0x5A; });
    }
    uint8_t* bytes = nullptr;

private:
    std::size_t page_;
    void* base_ = nullptr;
};

} // namespace

TEST(HostileDevices, NoneMakesTheLibraryTouchMoreThanTheHostsRecordAndTheQueriesTellTheTruth) {
    watch_handlers();
    LoadedModule lib;
    lib.HIDsetEventHandler(&on_input);
    GuardedRecord record;
    std::size_t delivered = 0;
    for (const Lie& lie : hostile_devices()) {
        SCOPED_TRACE(lie.what);
        std::atomic<std::size_t> longest{0}; // the longest report the device was sent
        const auto took = [&](const VirtualHidDevice::Report& r) {
            longest = std::max(longest.load(), r.size());
            return true;
        };
        const auto long_answer = [](uint8_t id, uint16_t length) {
            VirtualHidDevice::Report r(length, 0xEE);
            r[0] = id;
            return std::optional(r);
        };
        VirtualHidDevice device("hostile", lie.info);
        device.on_output = [&](const VirtualHidDevice::Report& r) { took(r); };
        device.on_set_output = took;
        device.on_set_feature = took;
        device.on_get_input = long_answer;
        device.on_get_feature = long_answer;
        ASSERT_TRUE(device.plug()) << device.error();
        const int index = lib.scan_for(*lie.info.serial);
        ASSERT_GE(index, 0);
        const THIDdeviceInfo info = lib.info(static_cast<uint8_t>(index));
        ASSERT_TRUE(lib.HIDopenDevice(static_cast<uint8_t>(index)));
        ASSERT_TRUE(wait_for([&] { return device.open_count() == 1; }));

        const struct {
            uint16_t length;
            uint8_t (*size)();
        } sizes[] = {{info.OutputReportByteLength, lib.HIDOutputReportSize},
                     {info.InputReportByteLength, lib.HIDInputReportSize},
                     {info.FeatureReportByteLength, lib.HIDFeatureReportSize}};
        for (const auto& s : sizes)
            EXPECT_EQ(s.size(), s.length <= 0xFF ? s.length : 0) << "a length is given whole or not at all";

        const auto fits = [](uint16_t length) { return length != 0 && length <= sizeof(THIDreport); };
        record.fill();
        EXPECT_EQ(lib.HIDSetOutputReport(record.bytes) != 0, fits(info.OutputReportByteLength));
        record.fill();
        EXPECT_EQ(lib.HIDSetFeatureReport(record.bytes) != 0, fits(info.FeatureReportByteLength));
        EXPECT_EQ(lib.HIDwriteDevice(*reinterpret_cast<const THIDreport*>(record.bytes)) != 0,
                  fits(info.OutputReportByteLength));
        for (auto get : {lib.HIDGetInputReport, lib.HIDGetFeatureReport}) {
            record.fill();
            if (get(record.bytes) == 0) {
                EXPECT_TRUE(record.untouched()) << "a refused transfer leaves the buffer as it was";
            }
        }
        EXPECT_LE(longest.load(), sizeof(THIDreport));

        // An input report longer than the record arrives cut to it.
        device.send_input(VirtualHidDevice::Report(4000, 0x11));
        ASSERT_TRUE(wait_reports(++delivered));
        lib.HIDcloseDevice();
    }
    lib.HIDsetEventHandler(nullptr);
}
