// The scan yardstick: the library's HIDscanForDevices beside hidapi's hid_enumerate on the same kernel
// devices (the unit as a USB gadget and qemu's keyboard, mouse and tablet). hidapi serves only as the
// yardstick: the product never links it, and this program is built only where CMake finds it.
// It prints the figures and checks only that both see the same devices: the time is not asserted.
#include "tests/hidlib/loaded_module.h"
#include "tests/kernel/kernel_support.h"
#include "tests/support/wait.h"

#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <tuple>
#include <vector>

namespace {

constexpr int rounds = 20;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <class F> double ms_of(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// path, vendor, product, release: what both must agree on.
using Key = std::tuple<std::string, uint16_t, uint16_t, uint16_t>;

std::vector<Key> library_devices(LoadedModule& lib) {
    std::vector<Key> keys;
    const int n = lib.HIDscanForDevices();
    for (int i = 0; i < n; ++i) {
        const THIDdeviceInfo info = lib.info(static_cast<uint8_t>(i));
        std::string path = record_text(info.DevicePath);
        path.erase(std::find(path.begin(), path.end(), '\0'), path.end());
        keys.emplace_back(path, info.VendorID, info.ProductID, info.VersionNumber);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

std::vector<Key> hidapi_devices() {
    std::vector<Key> keys;
    hid_device_info* all = hid_enumerate(0, 0);
    for (const hid_device_info* d = all; d != nullptr; d = d->next)
        keys.emplace_back(d->path, d->vendor_id, d->product_id, d->release_number);
    hid_free_enumeration(all);
    // hidapi lists a device once per top-level collection (a mouse's pointer and its wheel, say).
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

std::string listed(const std::vector<Key>& keys) {
    std::string s;
    char line[128];
    for (const auto& [path, vendor, product, release] : keys) {
        std::snprintf(line, sizeof line, "\n  %s %04x:%04x %04x", path.c_str(), vendor, product, release);
        s += line;
    }
    return s;
}

} // namespace

TEST(KernelScanYardstick, TheLibrarysScanBesideHidapisEnumeration) {
    SKIP_WITHOUT_GADGETS();
    LoadedModule lib;
    ASSERT_NE(lib.handle, nullptr);
    GadgetLink gadget;
    vhid_protocol::Info id;
    id.vendor = unit_vendor;
    id.product = unit_product;
    id.version = 0x0103;
    id.manufacturer = "VOK-RZ";
    id.product_name = "RV-390PKTA";
    id.serial = "KT-0001";
    id.descriptor = vendor_64_descriptor;
    ASSERT_TRUE(gadget.plug(id)) << gadget.error();
    // Each device change wakes the wait (the library's uevent watcher).
    ASSERT_TRUE(wait_for(
        [&] {
            const int n = lib.HIDscanForDevices();
            for (int i = 0; i < n; ++i)
                if (record_text(lib.info(static_cast<uint8_t>(i)).Product) == "RV-390PKTA")
                    return true;
            return false;
        },
        15000))
        << "the host never listed the gadget";

    ASSERT_EQ(hid_init(), 0);
    const std::vector<Key> ours = library_devices(lib);
    const std::vector<Key> theirs = hidapi_devices();
    EXPECT_EQ(ours, theirs) << "the library found:" << listed(ours) << "\nhidapi found:" << listed(theirs);

    // Taken in turns, so that whatever else the machine does weighs on both alike.
    std::vector<double> library_ms, hidapi_ms;
    for (int i = 0; i < rounds; ++i) {
        library_ms.push_back(ms_of([&] { (void)lib.HIDscanForDevices(); }));
        hidapi_ms.push_back(ms_of([] { hid_free_enumeration(hid_enumerate(0, 0)); }));
    }
    hid_exit();
    const double library = median(library_ms), hidapi = median(hidapi_ms);
    std::printf(
        "[   NOTE   ] scan: library %.1f ms, hidapi %.1f ms (median of %d, %zu devices), ratio %.2f\n",
        library, hidapi, rounds, ours.size(), hidapi > 0 ? library / hidapi : 0.0);
    std::fflush(stdout);
}
