// HID access library figures: scan time over many virtual devices, input latency, idle CPU.
#include "hidlib/HIDtypes.h"
#include "sim/vhid_device.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Module {
#define ENTRY(name, result, params) result(*name) params = nullptr;
    HID_ENTRY_POINTS(ENTRY)
#undef ENTRY
    void* handle = dlopen(HID_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    Module() {
#define BIND(name, result, params) name = reinterpret_cast<result(*) params>(dlsym(handle, #name));
        HID_ENTRY_POINTS(BIND)
#undef BIND
    }
    ~Module() {
        dlclose(handle);
    }
};

const std::vector<uint8_t> descriptor{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08,
                                      0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02, 0xC0};

vhid_protocol::Info identity(int i) {
    vhid_protocol::Info info;
    info.vendor = 0x1234;
    info.product = 0x5678;
    info.manufacturer = "Maker";
    info.product_name = "Widget";
    info.serial = std::to_string(i);
    info.descriptor = descriptor;
    return info;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void scan_time(Module& lib, int count) {
    std::vector<std::unique_ptr<VirtualHidDevice>> devices;
    for (int i = 0; i < count; ++i) {
        devices.push_back(std::make_unique<VirtualHidDevice>("d" + std::to_string(1000 + i), identity(i)));
        devices.back()->plug();
    }
    std::vector<double> ms;
    for (int run = 0; run < 20; ++run) {
        const auto t0 = Clock::now();
        lib.HIDscanForDevices();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("scan, %d virtual devices: median %.2f ms, max %.2f ms\n", count, percentile(ms, 0.5),
                percentile(ms, 1.0));
}

// Sockets on the bus that take connections and never answer: the first scan that meets them waits for
// them once; later scans not at all.
void silent_devices(Module& lib, int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = VirtualHidDevice::bus_dir() + "/silent" + std::to_string(i);
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 4);
        fds.push_back(fd);
    }
    VirtualHidDevice device("unit", identity(0));
    device.plug();
    std::vector<double> ms;
    for (int run = 0; run < 10; ++run) {
        const auto t0 = Clock::now();
        lib.HIDscanForDevices();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("scan, 1 device and %d silent ones: first %.1f ms, then median %.2f ms, max %.2f ms\n", count,
                ms[0], percentile({ms.begin() + 1, ms.end()}, 0.5), percentile({ms.begin() + 1, ms.end()}, 1.0));
    for (int fd : fds)
        ::close(fd);
}

std::mutex m;
std::condition_variable cv;
Clock::time_point arrived;
bool delivered = false;

void on_input(THIDreport, uint8_t) {
    std::lock_guard lock(m);
    arrived = Clock::now();
    delivered = true;
    cv.notify_all();
}

void input_latency(Module& lib) {
    VirtualHidDevice device("unit", identity(0));
    device.plug();
    lib.HIDscanForDevices();
    lib.HIDopenDevice(0);
    lib.HIDsetEventHandler(&on_input);
    std::vector<uint8_t> report(65, 0);
    report[0] = 1;
    std::vector<double> us;
    for (int i = 0; i < 3000; ++i) {
        std::unique_lock lock(m);
        delivered = false;
        lock.unlock();
        const auto t0 = Clock::now();
        device.send_input(report);
        lock.lock();
        cv.wait(lock, [] { return delivered; });
        us.push_back(std::chrono::duration<double, std::micro>(arrived - t0).count());
    }
    std::printf("input latency, send to handler (3000 reports): median %.1f us, 99th percentile %.1f us\n",
                percentile(us, 0.5), percentile(us, 0.99));
    lib.HIDsetEventHandler(nullptr);
    lib.HIDcloseDevice();
}

double cpu_ms() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void idle_cpu(Module& lib, int seconds) {
    VirtualHidDevice device("idle", identity(0));
    device.plug();
    lib.HIDscanForDevices();
    lib.HIDopenDevice(0);
    lib.HIDsetEventHandler(&on_input); // open, handler set, nothing arriving
    const double before = cpu_ms();
    std::this_thread::sleep_for(std::chrono::seconds(seconds)); // the idle span being measured
    std::printf("idle CPU with a device open and a handler set: %.2f ms over %d s\n", cpu_ms() - before,
                seconds);
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);
    Module lib;
    if (!lib.handle) {
        std::fprintf(stderr, "cannot load %s: %s\n", HID_LIB_PATH, dlerror());
        return 1;
    }
    scan_time(lib, 32);
    scan_time(lib, 64);
    silent_devices(lib, 3);
    input_latency(lib);
    idle_cpu(lib, argc > 1 ? std::atoi(argv[1]) : 10);
    return 0;
}
