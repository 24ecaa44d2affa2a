// The built HID_Lib.so, loaded with dlopen and bound by name as the utility does, and unloadable.
#pragma once

#include "hidlib/HIDtypes.h"
#include "sim/vhid_device.h"
#include "tests/support/test_devices.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

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

inline std::string text(const THIDstring& s) {
    return std::string(s.Chars, s.Length);
}
