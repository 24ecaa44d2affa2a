// The module's 18 exported entry points. Nothing raises across the boundary: failure is 0 or nothing.
#include "hidlib/HIDinterface.h"

#include <memory>

namespace {

HIDinterface* lib = nullptr;

// Module initialisation runs on the loading thread, so the device-change watcher belongs to it.
__attribute__((constructor)) void load() {
    try {
        lib = new HIDinterface;
    } catch (...) {
        lib = nullptr;
    }
}

// On unload (dlclose or process exit) the input thread is stopped and joined before anything is freed.
__attribute__((destructor)) void unload() {
    delete lib;
    lib = nullptr;
}

template <class R, class F> R guarded(R fallback, F&& f) noexcept {
    if (lib == nullptr)
        return fallback;
    try {
        return f(*lib);
    } catch (...) {
        return fallback;
    }
}

template <class F> void guarded(F&& f) noexcept {
    if (lib == nullptr)
        return;
    try {
        f(*lib);
    } catch (...) {
    }
}

} // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void USBsetEventHandler(TUSBeventHandler handler) {
    guarded([&](HIDinterface& l) { l.set_change_handler(handler); });
}
EXPORT void HIDsetEventHandler(THIDeventHandler handler) {
    guarded([&](HIDinterface& l) { l.set_input_handler(handler); });
}
EXPORT uint8_t HIDscanForDevices() {
    return guarded(uint8_t{0}, [](HIDinterface& l) { return l.scan(); });
}
EXPORT void HIDGetDeviceInfo(uint8_t index, THIDdeviceInfo* info) {
    guarded([&](HIDinterface& l) { l.get_info(index, info); });
}
EXPORT uint8_t HIDopenDevice(uint8_t index) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return static_cast<uint8_t>(l.open(index) ? 1 : 0); });
}
EXPORT void HIDcloseDevice() {
    guarded([](HIDinterface& l) { l.close(); });
}
EXPORT uint8_t HIDwriteDevice(THIDreport report) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.write(report); });
}
EXPORT uint8_t HIDreadDevice(THIDreport* report) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.read(report); });
}
EXPORT uint8_t HIDOutputReportSize() {
    return guarded(uint8_t{0}, [](HIDinterface& l) { return l.output_size(); });
}
EXPORT uint8_t HIDInputReportSize() {
    return guarded(uint8_t{0}, [](HIDinterface& l) { return l.input_size(); });
}
EXPORT uint8_t HIDFeatureReportSize() {
    return guarded(uint8_t{0}, [](HIDinterface& l) { return l.feature_size(); });
}
EXPORT uint8_t HIDOutputReportCount(uint8_t reportId) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.output_count(reportId); });
}
EXPORT uint8_t HIDInputReportCount(uint8_t reportId) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.input_count(reportId); });
}
EXPORT uint8_t HIDFeatureReportCount(uint8_t reportId) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.feature_count(reportId); });
}
EXPORT uint8_t HIDSetOutputReport(const uint8_t* buffer) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.set_output(buffer); });
}
EXPORT uint8_t HIDGetInputReport(uint8_t* buffer) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.get_input(buffer); });
}
EXPORT uint8_t HIDSetFeatureReport(const uint8_t* buffer) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.set_feature(buffer); });
}
EXPORT uint8_t HIDGetFeatureReport(uint8_t* buffer) {
    return guarded(uint8_t{0}, [&](HIDinterface& l) { return l.get_feature(buffer); });
}

// The exported signatures must be exactly those the host binds.
#define CHECK_SIGNATURE(name, result, params)                                                                \
    static_assert(std::is_same_v<decltype(&name), result(*) params>);
HID_ENTRY_POINTS(CHECK_SIGNATURE)
#undef CHECK_SIGNATURE
