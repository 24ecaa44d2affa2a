// The HID access library on the real Linux USB HID stack: the built module against a USB HID gadget.
#include "protocol/commands.h"
#include "protocol/framing.h"
#include "protocol/reassembly.h"
#include "sim/virtual_unit.h"
#include "tests/hidlib/handler_log.h"
#include "tests/hidlib/loaded_module.h"
#include "tests/kernel/kernel_support.h"
#include "tests/support/wait.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> filled_report(uint8_t first, uint8_t fill = 0) {
    std::vector<uint8_t> r(65, fill);
    r[0] = 1;
    r[1] = first;
    return r;
}

THIDreport as_report(const std::vector<uint8_t>& bytes) {
    THIDreport r{};
    std::memcpy(&r, bytes.data(), std::min(bytes.size(), sizeof r));
    return r;
}

// The unit's identity on the wire, as the unit model gives it (see docs/virtual-unit.md).
vhid_protocol::Info unit_identity(const std::string& product, uint16_t product_id) {
    vhid_protocol::Info i;
    i.vendor = unit_vendor;
    i.product = product_id;
    i.version = 0x0103;
    i.manufacturer = "VOK-RZ";
    i.product_name = product;
    i.serial = "KT-0001";
    i.descriptor = vendor_64_descriptor;
    return i;
}

class KernelHid : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_GADGETS();
        watch_handlers();
        lib = std::make_unique<LoadedModule>();
        ASSERT_NE(lib->handle, nullptr);
        lib->USBsetEventHandler(&on_change);
    }

    // Index of the record with this product string, once the host has enumerated it; -1 when it does
    // not show within the limit. Each device change wakes the wait (the library's uevent watcher).
    int wait_for_product(const std::string& product, int timeout_ms = 15000) {
        int found = -1;
        wait_for(
            [&] {
                const int n = lib->HIDscanForDevices();
                for (int i = 0; i < n; ++i)
                    if (record_text(lib->info(static_cast<uint8_t>(i)).Product) == product)
                        return (found = i) >= 0;
                return false;
            },
            timeout_ms);
        return found;
    }

    // Until no record shows this product string.
    bool wait_for_no_product(const std::string& product, int timeout_ms = 15000) {
        return wait_for(
            [&] {
                const int n = lib->HIDscanForDevices();
                for (int i = 0; i < n; ++i)
                    if (record_text(lib->info(static_cast<uint8_t>(i)).Product) == product)
                        return false;
                return true;
            },
            timeout_ms);
    }

    std::unique_ptr<LoadedModule> lib;
};

// A bare gadget whose output reports the test sees as they arrive.
class KernelGadget : public KernelHid {
protected:
    void SetUp() override {
        KernelHid::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        gadget.on_output = [this](const std::vector<uint8_t>& r) {
            std::lock_guard lock(m);
            outputs.push_back(r);
            cv.notify_all();
        };
        ASSERT_TRUE(gadget.plug(unit_identity("RV-390PKTA", unit_product))) << gadget.error();
        index = wait_for_product("RV-390PKTA");
        ASSERT_GE(index, 0) << "the host never listed the gadget";
    }
    bool wait_outputs(std::size_t n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 10s, [&] { return outputs.size() >= n; });
    }

    // What the gadget's callback reaches is declared before the gadget, so it outlives it: the gadget goes
    // first, and its destructor stops and joins the thread that runs the callback.
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> outputs;
    int index = -1;
    GadgetLink gadget;
};

} // namespace

TEST_F(KernelGadget, TheScanDescribesTheUnitFromItsUsbDescriptors) {
    const THIDdeviceInfo info = lib->info(static_cast<uint8_t>(index));
    EXPECT_EQ(info.VendorID, unit_vendor);
    EXPECT_EQ(info.ProductID, unit_product);
    EXPECT_EQ(info.VersionNumber, 0x0103); // bcdDevice
    EXPECT_EQ(record_text(info.Manufacturer), "VOK-RZ");
    EXPECT_EQ(record_text(info.Product),
              "RV-390PKTA"); // the USB string, not the kernel's "VOK-RZ RV-390PKTA"
    EXPECT_EQ(record_text(info.SerialNumber), "KT-0001");
    // From the report descriptor the kernel read from the device: report ID 1, 64 bytes each way.
    EXPECT_EQ(info.OutputReportByteLength, 65);
    EXPECT_EQ(info.InputReportByteLength, 65);
    EXPECT_EQ(info.FeatureReportByteLength, 0);
    EXPECT_EQ(info.InputItems[0].ReportID, 1);
    EXPECT_EQ(info.InputItems[0].ReportCount, 64);
    EXPECT_EQ(info.OutputItems[0].ReportID, 1);
    EXPECT_EQ(info.OutputItems[0].ReportCount, 64);
    EXPECT_EQ(info.CanReadWrite, 1);
    EXPECT_EQ(info.Handle, -1);
    const std::string path = record_text(info.DevicePath);
    EXPECT_TRUE(path.starts_with("/dev/hidraw")) << path;
    EXPECT_EQ(path.back(), '\0'); // the NUL is counted in the length byte
}

TEST_F(KernelGadget, MovesReportsBothWaysOnBothPaths) {
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(index)));
    EXPECT_EQ(lib->HIDOutputReportSize(), 65);
    EXPECT_EQ(lib->HIDOutputReportCount(1), 64);

    // Control path (HIDIOCSOUTPUT) and interrupt path (write): both reach the device as output reports.
    const auto control = filled_report(0x42, 0xC1);
    EXPECT_EQ(lib->HIDSetOutputReport(control.data()), 64);
    const auto interrupt = filled_report(0x43, 0xC2);
    EXPECT_EQ(lib->HIDwriteDevice(as_report(interrupt)), 64);
    ASSERT_TRUE(wait_outputs(2));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(outputs[0], control); // all 65 bytes, report ID first
        EXPECT_EQ(outputs[1], interrupt);
    }
    uint8_t feature[65] = {1};
    EXPECT_EQ(lib->HIDGetFeatureReport(feature), 0); // the unit has no feature report

    // Input: the device's report reaches the handler on the library's thread.
    lib->HIDsetEventHandler(&on_input);
    ASSERT_TRUE(gadget.send_input(filled_report(0x77, 0x5A)));
    ASSERT_TRUE(wait_reports(1));
    std::lock_guard lock(seen.m);
    EXPECT_EQ(seen.reports[0], filled_report(0x77, 0x5A));
    EXPECT_EQ(seen.counts[0], 64);
    EXPECT_TRUE(seen.on_library_thread);
}

TEST_F(KernelGadget, InputReportsReachTheHandlerOnTheLibrarysThreadInOrder) {
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(index)));
    lib->HIDsetEventHandler(&on_input);
    constexpr int n = 200; // more than the kernel's hidraw queue of 64: the library keeps up
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(gadget.send_input(filled_report(static_cast<uint8_t>(i))))
            << "report " << i << " was not taken";
    ASSERT_TRUE(wait_reports(n));
    std::lock_guard lock(seen.m);
    ASSERT_EQ(seen.reports.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(seen.reports[static_cast<std::size_t>(i)][1], static_cast<uint8_t>(i)) << "report " << i;
    EXPECT_TRUE(seen.on_library_thread);
}

TEST_F(KernelGadget, ReportsWaitingWithoutAHandlerAreReadOldestFirst) {
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(index)));
    // A reader of its own on the same node: the kernel gives every reader each report at the same moment,
    // so once this one has the fifth, the library's queue holds all five.
    const std::string node = record_text(lib->info(static_cast<uint8_t>(index)).DevicePath).c_str();
    const int watch = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(watch, 0) << node;
    for (uint8_t i = 0; i < 5; ++i)
        ASSERT_TRUE(gadget.send_input(filled_report(i)));
    uint8_t buffer[65];
    for (int i = 0; i < 5; ++i) {
        pollfd p{watch, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1) << "report " << i << " never arrived";
        ASSERT_EQ(::read(watch, buffer, sizeof buffer), 65);
    }
    ::close(watch);

    THIDreport got{};
    for (uint8_t i = 0; i < 5; ++i) {
        ASSERT_EQ(lib->HIDreadDevice(&got), 64) << "report " << int(i);
        EXPECT_EQ(got.Data[0], i);
    }
    EXPECT_EQ(lib->HIDreadDevice(&got), 0); // nothing more waits
}

TEST_F(KernelGadget, AMissingSerialStringShowsAsTheLibrarysPlaceholder) {
    gadget.unplug();
    ASSERT_TRUE(wait_for_no_product("RV-390PKTA"));
    auto id = unit_identity("RV-390PKTA", unit_product);
    id.serial.reset();
    id.manufacturer.reset();
    ASSERT_TRUE(gadget.plug(id)) << gadget.error();
    const int i = wait_for_product("RV-390PKTA");
    ASSERT_GE(i, 0);
    const THIDdeviceInfo info = lib->info(static_cast<uint8_t>(i));
    EXPECT_EQ(record_text(info.SerialNumber), "---");
    EXPECT_EQ(info.Manufacturer.Length, 0);
    EXPECT_EQ(info.VendorID, unit_vendor);
}

// The change handler scans, as the utility's discovery does: what it finds shows the call came after the
// change.
LoadedModule* scanning_lib = nullptr;
std::vector<int> units_at_change; // loading thread only

void on_change_scanning() {
    on_change();
    int units = 0;
    const int n = scanning_lib->HIDscanForDevices();
    for (int i = 0; i < n; ++i)
        units += record_text(scanning_lib->info(static_cast<uint8_t>(i)).Manufacturer) == "VOK-RZ" ? 1 : 0;
    units_at_change.push_back(units);
}

// No device is open, so only the library's netlink uevent watcher can notice.
TEST_F(KernelGadget, UnbindAndRebindCallTheChangeHandlerOnTheLoadingThread) {
    scanning_lib = lib.get();
    lib->USBsetEventHandler(&on_change_scanning);
    const auto saw = [](int units) {
        return std::find(units_at_change.begin(), units_at_change.end(), units) != units_at_change.end();
    };

    gadget.unplug(); // the controller drops the device: the host sees a disconnect
    ASSERT_TRUE(wait_for([&] { return saw(0); }, 10000)) << "no change handler call after the unbind";
    EXPECT_TRUE(seen.change_on_loading_thread);

    units_at_change.clear();
    ASSERT_TRUE(gadget.plug(unit_identity("RV-390PKTA", unit_product))) << gadget.error();
    ASSERT_TRUE(wait_for([&] { return saw(1); }, 10000)) << "no change handler call after the rebind";
    EXPECT_TRUE(seen.change_on_loading_thread);
    lib->USBsetEventHandler(nullptr);
}

TEST_F(KernelGadget, AnUnbindWhileOpenFailsEveryTransferAndARebindCanBeOpenedAgain) {
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(index)));
    lib->HIDsetEventHandler(&on_input);
    seen.changes = 0;

    gadget.unplug();
    ASSERT_TRUE(wait_for([] { return seen.changes > 0; }, 10000));
    EXPECT_TRUE(seen.change_on_loading_thread);
    const auto out = filled_report(1);
    EXPECT_EQ(lib->HIDSetOutputReport(out.data()), 0);
    EXPECT_EQ(lib->HIDwriteDevice(as_report(out)), 0);
    THIDreport r{};
    EXPECT_EQ(lib->HIDreadDevice(&r), 0);
    EXPECT_TRUE(wait_for_no_product("RV-390PKTA"));

    ASSERT_TRUE(gadget.plug(unit_identity("RV-390PKTA", unit_product))) << gadget.error();
    const int again = wait_for_product("RV-390PKTA");
    ASSERT_GE(again, 0);
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(again)));
    EXPECT_EQ(lib->HIDSetOutputReport(out.data()), 64);
    ASSERT_TRUE(wait_outputs(1));
}

// The device nodes belong to root (0600, as without udev rules): another user sees the unit all the same.
TEST_F(KernelGadget, AnOperatorWithoutPermissionSeesTheUnitButCannotOpenIt) {
    QProcess probe;
    probe.setChildProcessModifier([] {
        // In the child between fork and exec: plain system calls only. 65534 is "nobody".
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
    });
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR"); // no virtual bus: only the kernel's devices
    probe.setProcessEnvironment(env);
    probe.start(KERNEL_PROBE, {});
    ASSERT_TRUE(probe.waitForFinished(30000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    ASSERT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("uid=65534")) << out.toStdString();
    EXPECT_TRUE(out.contains("vendor=7a39 product=0390 version=0103 manufacturer=VOK-RZ product=RV-390PKTA "
                             "serial=KT-0001 output=65 input=65 readwrite=0"))
        << out.toStdString();
}

TEST_F(KernelGadget, AnotherVersionAndSerialShowAsTheyAreGiven) {
    gadget.unplug();
    ASSERT_TRUE(wait_for_no_product("RV-390PKTA"));
    auto id = unit_identity("RV-390PKTA", unit_product);
    id.version = 0x0209;
    id.serial = "S/N 12-34";
    ASSERT_TRUE(gadget.plug(id)) << gadget.error();
    const int i = wait_for_product("RV-390PKTA");
    ASSERT_GE(i, 0);
    EXPECT_EQ(lib->info(static_cast<uint8_t>(i)).VersionNumber, 0x0209);
    EXPECT_EQ(record_text(lib->info(static_cast<uint8_t>(i)).SerialNumber), "S/N 12-34");

    // The kernel takes bcdDevice only as binary-coded decimal: the gadget says so instead of failing later.
    gadget.unplug();
    id.version = 0x020A;
    EXPECT_FALSE(gadget.plug(id));
    EXPECT_NE(gadget.error().find("binary-coded decimal"), std::string::npos) << gadget.error();
}

namespace {

// The virtual unit attached as a USB gadget, talked to through the module with the utility's framing.
class KernelUnit : public KernelHid {
protected:
    void SetUp() override {
        KernelHid::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        UnitOptions o;
        o.serial = "KU-0002";
        o.restart_delay = 100ms;
        o.settings = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xF5, 0xF0, 20, 1, 2, 1};
        o.gadget = GadgetOptions{};
        unit = std::make_unique<VirtualUnit>(o);
        ASSERT_TRUE(unit->plug()) << unit->error();
        lib->HIDsetEventHandler(&on_input);
    }
    // Opens the record of this product, as discovery does.
    bool open(const std::string& product) {
        const int i = wait_for_product(product);
        return i >= 0 && lib->HIDopenDevice(static_cast<uint8_t>(i));
    }
    bool send(uint8_t command, std::span<const uint8_t> payload = {}) {
        bool ok = true;
        cut_reports(build_message(command, payload),
                    [&](const Report& r) { ok = ok && lib->HIDSetOutputReport(r.data()) != 0; });
        return ok;
    }
    // The next whole reply among the input reports seen from `from` on.
    std::optional<std::vector<uint8_t>> reply(std::size_t from) {
        Reassembler r;
        for (std::size_t n = from + 1; wait_reports(n); ++n) {
            std::lock_guard lock(seen.m);
            if (auto message = r.feed(as_report(seen.reports[n - 1])))
                return message;
        }
        return std::nullopt;
    }

    std::unique_ptr<VirtualUnit> unit;
};

} // namespace

TEST_F(KernelUnit, AnswersASettingsPollThroughTheKernel) {
    ASSERT_TRUE(open("RV-390PKTA"));
    ASSERT_TRUE(send(cmd_get_par));
    const auto message = reply(0);
    ASSERT_TRUE(message.has_value()) << "no reply";
    ASSERT_GE(message->size(), 22u); // the reassembled buffer holds whole chunks
    EXPECT_EQ((*message)[0], cmd_get_par);
    EXPECT_EQ((*message)[1] << 8 | (*message)[2], 17); // the length field
    const TparBytes block = unit->settings();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), message->begin() + 3));
}

TEST_F(KernelUnit, ItsRestartIntoTheBootLoaderAndBackIsAChangeOfProductString) {
    ASSERT_TRUE(open("RV-390PKTA"));
    seen.changes = 0;
    ASSERT_TRUE(send(cmd_upd_poll));
    ASSERT_TRUE(unit->wait_for_restarts(1, 10s));
    const int boot = wait_for_product("RV-390PKTA(boot)");
    ASSERT_GE(boot, 0);
    EXPECT_GT(seen.changes, 0);
    EXPECT_TRUE(seen.change_on_loading_thread);
    const THIDdeviceInfo info = lib->info(static_cast<uint8_t>(boot));
    EXPECT_EQ(info.ProductID, boot_product);
    EXPECT_EQ(record_text(info.Manufacturer), "VOK-RZ");
    EXPECT_EQ(record_text(info.SerialNumber), "KU-0002");
    EXPECT_TRUE(wait_for_no_product("RV-390PKTA"));

    // In its boot loader it answers cmd_defaults; cmd_upd_close brings the normal firmware back.
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(boot)));
    std::size_t before;
    {
        std::lock_guard lock(seen.m);
        before = seen.reports.size();
    }
    ASSERT_TRUE(send(cmd_defaults));
    const auto message = reply(before);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ((*message)[0], cmd_defaults);
    ASSERT_TRUE(send(cmd_upd_close));
    ASSERT_TRUE(unit->wait_for_restarts(2, 10s));
    ASSERT_GE(wait_for_product("RV-390PKTA"), 0);
    EXPECT_EQ(unit->mode(), UnitMode::normal);
}

TEST(KernelSimProgram, AttachesAsAGadgetWithItsIdentityAndRestartsOnCommand) {
    SKIP_WITHOUT_GADGETS();
    watch_handlers();
    LoadedModule lib;
    lib.USBsetEventHandler(&on_change);
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(SIM_PROGRAM, {"--gadget", "--serial", "SIM-7", "--version", "2.5", "--restart-delay", "50"});
    ASSERT_TRUE(sim.waitForStarted());
    const auto line_with = [&](const QString& text) {
        for (;;) {
            while (sim.canReadLine())
                if (QString::fromUtf8(sim.readLine()).contains(text))
                    return true;
            if (!sim.waitForReadyRead(10000))
                return false;
        }
    };
    ASSERT_TRUE(line_with("plugged RV-390PKTA, serial SIM-7, version 2.5 (normal firmware)"));
    const auto find = [&](const std::string& product) {
        int found = -1;
        wait_for(
            [&] {
                const int n = lib.HIDscanForDevices();
                for (int i = 0; i < n; ++i)
                    if (record_text(lib.info(static_cast<uint8_t>(i)).Product) == product)
                        return (found = i) >= 0;
                return false;
            },
            15000);
        return found;
    };
    const int i = find("RV-390PKTA");
    ASSERT_GE(i, 0);
    EXPECT_EQ(record_text(lib.info(static_cast<uint8_t>(i)).SerialNumber), "SIM-7");
    EXPECT_EQ(lib.info(static_cast<uint8_t>(i)).VersionNumber, 0x0205);

    sim.write("boot\n");
    ASSERT_TRUE(line_with("plugged RV-390PKTA(boot)"));
    EXPECT_GE(find("RV-390PKTA(boot)"), 0);
    sim.write("quit\n");
    ASSERT_TRUE(line_with("stopped"));
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists("/sys/kernel/config/usb_gadget/rv390pkta")) << "gadget left behind";
}

// hidraw holds a write or an output report in the kernel until the device takes it, up to the USB core's
// 5 s: the library still gives up at its own limits (200 ms for a write, 1 s for a control transfer).
TEST_F(KernelGadget, ADeviceThatStopsTakingReportsHoldsNoTransferPastTheLibrarysLimits) {
    // The device's firmware hangs until released. The callback runs on the gadget's thread and may run
    // after this body has returned (reports still in the kernel), so it holds its state by shared_ptr,
    // never a reference to a local; and the state is released on every way out of this body, or the
    // thread would never finish and the gadget could not be unplugged.
    struct Hold {
        std::mutex m;
        std::condition_variable cv;
        bool held = true;
        std::size_t arrived = 0; // reports that reached the device, counted as they arrive
        std::vector<uint8_t> last;

        void release() {
            {
                std::lock_guard lock(m);
                held = false;
            }
            cv.notify_all();
        }
        bool wait(const std::function<bool()>& done) {
            std::unique_lock lock(m);
            return cv.wait_for(lock, 10s, done);
        }
        std::size_t count() {
            std::lock_guard lock(m);
            return arrived;
        }
    };
    const auto hold = std::make_shared<Hold>();
    struct Release {
        std::shared_ptr<Hold> hold;
        ~Release() { hold->release(); }
    } const release_on_return{hold};

    gadget.unplug(); // joins the gadget's thread: the callback can be replaced
    gadget.on_output = [hold](const std::vector<uint8_t>& r) {
        std::unique_lock lock(hold->m);
        ++hold->arrived;
        hold->last = r;
        hold->cv.notify_all();
        hold->cv.wait(lock, [&] { return !hold->held; });
    };
    ASSERT_TRUE(gadget.plug(unit_identity("RV-390PKTA", unit_product))) << gadget.error();
    const int i = wait_for_product("RV-390PKTA");
    ASSERT_GE(i, 0);
    ASSERT_TRUE(lib->HIDopenDevice(static_cast<uint8_t>(i)));
    const auto out = filled_report(1);
    using clock = std::chrono::steady_clock;
    const auto ms_since = [](clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - t).count();
    };

    // The gadget's few receive buffers fill; then the host's transfers wait.
    std::size_t sent = 0;
    clock::time_point started;
    for (;;) {
        started = clock::now();
        if (lib->HIDSetOutputReport(out.data()) == 0)
            break;
        ASSERT_LT(++sent, 20u) << "the device never stopped taking reports";
    }
    EXPECT_LT(ms_since(started), 4000)
        << "a control transfer waited for the kernel, not the library's second";
    started = clock::now();
    EXPECT_EQ(lib->HIDwriteDevice(as_report(out)), 0); // withdrawn: the held transfer is still in the kernel
    EXPECT_LT(ms_since(started), 4000) << "a write waited for the kernel, not the library's 200 ms";

    // The device takes reports again: the held transfer, which outlived the library's limit, still reaches
    // it (well within the kernel's 5 s), and then the link works.
    hold->release();
    EXPECT_TRUE(hold->wait([&] { return hold->arrived >= sent + 1; }))
        << "the held report never reached the device (" << hold->count() << " of " << sent + 1 << ")";
    const auto next = filled_report(2);
    EXPECT_EQ(lib->HIDSetOutputReport(next.data()), 64);
    EXPECT_TRUE(hold->wait([&] { return hold->last == next; })) << "the next report never reached the device";
}
