// The HID access library on a uhid device: a real hidraw node with no USB device above it.
#include "tests/hidlib/loaded_module.h"
#include "tests/kernel/kernel_support.h"
#include "tests/support/wait.h"

#include <linux/uhid.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A HID device made from user space through /dev/uhid, served on its own thread.
class UhidDevice {
public:
    using Report = std::vector<uint8_t>;

    ~UhidDevice() { destroy(); }

    bool create(const std::string& name, const std::string& uniq, uint16_t bus, uint16_t vendor,
                uint16_t product, const std::vector<uint8_t>& descriptor) {
        fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0)
            return false;
        uhid_event e{};
        e.type = UHID_CREATE2;
        std::strncpy(reinterpret_cast<char*>(e.u.create2.name), name.c_str(), sizeof e.u.create2.name - 1);
        std::strncpy(reinterpret_cast<char*>(e.u.create2.uniq), uniq.c_str(), sizeof e.u.create2.uniq - 1);
        std::strncpy(reinterpret_cast<char*>(e.u.create2.phys), "kernel-test/uhid0",
                     sizeof e.u.create2.phys - 1);
        e.u.create2.bus = bus;
        e.u.create2.vendor = vendor;
        e.u.create2.product = product;
        e.u.create2.version = 0x0103;
        e.u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
        std::memcpy(e.u.create2.rd_data, descriptor.data(), descriptor.size());
        if (::write(fd_, &e, sizeof e) != static_cast<ssize_t>(sizeof e))
            return false;
        wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { serve(); });
        return true;
    }

    void destroy() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            (void)!::write(wake_fd_, &one, sizeof one);
            thread_.join();
            ::close(wake_fd_);
        }
        if (fd_ >= 0) {
            uhid_event e{};
            e.type = UHID_DESTROY;
            (void)!::write(fd_, &e, sizeof e);
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool send_input(const Report& report) {
        uhid_event e{};
        e.type = UHID_INPUT2;
        e.u.input2.size = static_cast<uint16_t>(report.size());
        std::memcpy(e.u.input2.data, report.data(), report.size());
        return ::write(fd_, &e, sizeof e) == static_cast<ssize_t>(sizeof e);
    }

    bool wait_outputs(std::size_t n) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, 10s, [&] { return outputs.size() >= n; });
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Report> outputs;

private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 || (p[1].revents & POLLIN))
                return;
            uhid_event e{};
            if (::read(fd_, &e, sizeof e) <= 0)
                continue;
            if (e.type == UHID_OUTPUT) {
                const uint8_t* data = e.u.output.data; // packed: taken by address, not by reference
                const std::size_t size = std::min<std::size_t>(e.u.output.size, UHID_DATA_MAX);
                std::lock_guard lock(m_);
                outputs.emplace_back(data, data + size);
                cv_.notify_all();
            } else if (e.type == UHID_GET_REPORT || e.type == UHID_SET_REPORT) {
                // Not served: answered at once with an error, so the host does not wait for its timeout.
                uhid_event answer{};
                const bool get = e.type == UHID_GET_REPORT;
                answer.type = get ? UHID_GET_REPORT_REPLY : UHID_SET_REPORT_REPLY;
                if (get) {
                    answer.u.get_report_reply.id = e.u.get_report.id;
                    answer.u.get_report_reply.err = EIO;
                } else {
                    answer.u.set_report_reply.id = e.u.set_report.id;
                    answer.u.set_report_reply.err = EIO;
                }
                (void)!::write(fd_, &answer, sizeof answer);
            }
        }
    }

    int fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
};

std::mutex input_m;
std::condition_variable input_cv;
std::vector<std::vector<uint8_t>> inputs;

void on_input(THIDreport report, uint8_t) {
    std::lock_guard lock(input_m);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&report);
    inputs.emplace_back(bytes, bytes + sizeof report);
    input_cv.notify_all();
}

class KernelUhid : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/uhid", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no /dev/uhid here (the uhid module, and root); tests/kernel/run.sh runs this";
        ASSERT_NE(lib.handle, nullptr);
        ASSERT_TRUE(device.create("Emulated RV-390PKTA", "UH-0001", 0x03 /* BUS_USB */, unit_vendor,
                                  unit_product, vendor_64_descriptor));
        // The node appears after the kernel has parsed the descriptor; each change wakes the wait.
        ASSERT_TRUE(wait_for(
            [&] {
                const int n = lib.HIDscanForDevices();
                for (int i = 0; i < n; ++i)
                    if (record_text(lib.info(static_cast<uint8_t>(i)).SerialNumber) == "UH-0001")
                        return (index = i) >= 0;
                return false;
            },
            15000));
    }

    LoadedModule lib;
    UhidDevice device;
    int index = -1;
};

} // namespace

TEST_F(KernelUhid, ADeviceWithoutAUsbParentStillHasASensibleRecord) {
    const THIDdeviceInfo info = lib.info(static_cast<uint8_t>(index));
    EXPECT_EQ(info.VendorID, unit_vendor); // from the kernel's HID_ID
    EXPECT_EQ(info.ProductID, unit_product);
    EXPECT_EQ(info.VersionNumber, 0);       // no bcdDevice without a USB device
    EXPECT_EQ(info.Manufacturer.Length, 0); // no USB strings: no manufacturer, so the utility passes it by
    EXPECT_EQ(record_text(info.Product), "Emulated RV-390PKTA"); // the device's HID name
    EXPECT_EQ(record_text(info.SerialNumber), "UH-0001");
    EXPECT_EQ(info.OutputReportByteLength, 65);
    EXPECT_EQ(info.InputReportByteLength, 65);
    EXPECT_EQ(info.FeatureReportByteLength, 0);
    EXPECT_EQ(info.CanReadWrite, 1);
}

TEST_F(KernelUhid, MovesReportsBothWays) {
    ASSERT_TRUE(lib.HIDopenDevice(static_cast<uint8_t>(index)));
    std::vector<uint8_t> out(65, 0xA5);
    out[0] = 1;
    EXPECT_EQ(lib.HIDSetOutputReport(out.data()), 64);
    THIDreport r{};
    std::memcpy(&r, out.data(), sizeof r);
    r.Data[0] = 0x11;
    EXPECT_EQ(lib.HIDwriteDevice(r), 64);
    ASSERT_TRUE(device.wait_outputs(2));
    {
        std::lock_guard lock(device.m_);
        EXPECT_EQ(device.outputs[0], out);
        EXPECT_EQ(device.outputs[1][1], 0x11);
    }

    lib.HIDsetEventHandler(&on_input);
    std::vector<uint8_t> in(65, 0x3C);
    in[0] = 1;
    ASSERT_TRUE(device.send_input(in));
    std::unique_lock lock(input_m);
    ASSERT_TRUE(input_cv.wait_for(lock, 10s, [] { return !inputs.empty(); }));
    EXPECT_EQ(inputs[0], in);
}
