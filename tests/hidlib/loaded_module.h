// The built HID_Lib.so, loaded with dlopen and bound by name as the utility does, and unloadable.
#pragma once

#include "hidlib/HIDtypes.h"
#include "sim/vhid_device.h"
#include "tests/support/test_devices.h"
#include "tests/support/wait.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

inline std::string text(const THIDstring& s) {
    return std::string(s.Chars, s.Length);
}

struct LoadedModule {
#define MODULE_ENTRY(name, result, params) result(*name) params = nullptr;
    HID_ENTRY_POINTS(MODULE_ENTRY)
#undef MODULE_ENTRY

    LoadedModule() {
        handle = dlopen(HID_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle, nullptr) << dlerror();
        if (!handle)
            return;
#define MODULE_BIND(name, result, params) name = reinterpret_cast<result(*) params>(dlsym(handle, #name));
        HID_ENTRY_POINTS(MODULE_BIND)
#undef MODULE_BIND
    }
    ~LoadedModule() {
        unload();
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    void unload() {
        if (handle)
            dlclose(handle);
        handle = nullptr;
    }

    THIDdeviceInfo info(uint8_t index) {
        THIDdeviceInfo i{};
        HIDGetDeviceInfo(index, &i);
        return i;
    }

    // Scans until the device with this serial is listed, its index; -1 when it is not within the wait.
    // Only the first scan waits for new devices: one plugged later is listed once its answer has come,
    // which the library reports as a device change (on this thread's event loop).
    int scan_for(const std::string& serial, int timeout_ms = 10000) {
        int found = -1;
        wait_for(
            [&] {
                const uint8_t n = HIDscanForDevices();
                for (uint8_t i = 0; i < n && found < 0; ++i)
                    if (text(info(i).SerialNumber) == serial)
                        found = i;
                return found >= 0;
            },
            timeout_ms);
        return found;
    }

    void* handle = nullptr;
};

// Entries of a folder (such as /proc/self/fd), "." and ".." included.
inline int count_entries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}
