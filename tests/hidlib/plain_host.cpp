// A host without Qt: loads the library from a plain program and expects device-change calls on a
// thread of the library, with nothing printed. Exit status 0 when all holds; it prints only failures.
#include "hidlib/HIDtypes.h"
#include "sim/vhid_device.h"
#include "tests/support/test_devices.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <thread>

namespace {
std::mutex m;
std::condition_variable cv;
int changes = 0;
std::thread::id change_thread;

void on_change() {
    std::lock_guard lock(m);
    ++changes;
    change_thread = std::this_thread::get_id();
    cv.notify_all();
}

int fail(const char* what) {
    std::fprintf(stderr, "plain host: %s\n", what);
    return 1;
}
} // namespace

int main() {
    char dir[] = "/tmp/plain-host-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return fail("no private runtime folder");
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    void* lib = ::dlopen(HID_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr)
        return fail(::dlerror());
    const auto set_change = reinterpret_cast<void (*)(TUSBeventHandler)>(::dlsym(lib, "USBsetEventHandler"));
    const auto scan = reinterpret_cast<uint8_t (*)()>(::dlsym(lib, "HIDscanForDevices"));
    set_change(&on_change);

    int result = 0;
    {
        VirtualHidDevice device("unit", identity("1"));
        if (!device.plug())
            return fail(device.error().c_str());
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(20), [] { return changes > 0; }))
            result = fail("no device-change call");
        else if (change_thread == std::this_thread::get_id())
            result = fail("the change call came on the loading thread, which runs no event loop");
        lock.unlock();
        if (result == 0 && scan() != 1)
            result = fail("the scan does not list the device");
    }
    set_change(nullptr);
    ::dlclose(lib);
    ::rmdir((std::string(dir) + "/vhid").c_str());
    ::rmdir(dir);
    return result;
}
