// HID access library figures: scan time over many virtual devices and among silent ones, the loading
// thread's stalls while silent ones appear, input latency, idle CPU.
#include "hidlib/HIDtypes.h"
#include "sim/vhid_device.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <sys/resource.h>
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

void scan_time(int count) {
    std::vector<std::unique_ptr<VirtualHidDevice>> devices;
    for (int i = 0; i < count; ++i) {
        devices.push_back(std::make_unique<VirtualHidDevice>("d" + std::to_string(1000 + i), identity(i)));
        devices.back()->plug();
    }
    Module lib;
    std::vector<double> ms;
    for (int run = 0; run < 20; ++run) {
        const auto t0 = Clock::now();
        lib.HIDscanForDevices();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("scan, %d virtual devices: median %.2f ms, max %.2f ms\n", count, percentile(ms, 0.5),
                percentile(ms, 1.0));
}

// Sockets on the bus that take connections and never answer, named after `prefix`.
std::vector<int> silent_sockets(int count, const std::string& prefix) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = VirtualHidDevice::bus_dir() + "/" + prefix + std::to_string(i);
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 4);
        fds.push_back(fd);
    }
    return fds;
}

void close_all(const std::vector<int>& fds, const std::string& prefix) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
        ::unlink((VirtualHidDevice::bus_dir() + "/" + prefix + std::to_string(i)).c_str());
        ::close(fds[i]);
    }
}

// A library loaded beside silent devices: its first scan waits for them once, later scans not at all.
void silent_devices(int count) {
    const std::vector<int> fds = silent_sockets(count, "silent");
    VirtualHidDevice device("unit", identity(0));
    device.plug();
    Module lib;
    std::vector<double> ms;
    for (int run = 0; run < 10; ++run) {
        const auto t0 = Clock::now();
        lib.HIDscanForDevices();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("scan, 1 device and %d silent ones: first %.1f ms, then median %.2f ms, max %.2f ms\n", count,
                ms[0], percentile({ms.begin() + 1, ms.end()}, 0.5),
                percentile({ms.begin() + 1, ms.end()}, 1.0));
    close_all(fds, "silent");
}

// The loading thread's longest stall while silent devices appear one after another and each device
// change is answered with a scan on that thread, as the window's discovery does.
Module* rescanning = nullptr;
void rescan() {
    rescanning->HIDscanForDevices();
}

void stall_while_silent_devices_appear(int count) {
    Module lib;
    rescanning = &lib;
    lib.HIDscanForDevices();
    lib.USBsetEventHandler(&rescan);
    std::vector<int> fds;
    std::thread plugger([&] {
        for (int i = 0; i < count; ++i) {
            const std::vector<int> one = silent_sockets(1, "appearing" + std::to_string(i) + "-");
            fds.push_back(one[0]);
            std::this_thread::sleep_for(std::chrono::milliseconds(4)); // the pace of the arrivals
        }
    });
    double longest = 0;
    auto last = Clock::now();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    });
    tick.start(1);
    QTimer::singleShot(count * 4 + 3000, [] { QCoreApplication::quit(); }); // past the questions' end
    QCoreApplication::exec();
    plugger.join();
    lib.USBsetEventHandler(nullptr);
    std::printf("%d silent devices appearing every 4 ms, rescanned on each change: the loading thread's "
                "longest stall %.1f ms\n",
                count, longest);
    for (int i = 0; i < count; ++i)
        close_all({fds[static_cast<std::size_t>(i)]}, "appearing" + std::to_string(i) + "-");
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

void input_latency() {
    VirtualHidDevice device("unit", identity(0));
    device.plug();
    Module lib;
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

void idle_cpu(int seconds) {
    VirtualHidDevice device("idle", identity(0));
    device.plug();
    Module lib;
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
    // Each with a library loaded afresh beside its devices: a library's first scan is the one that
    // waits for new devices.
    if (!Module().handle) {
        std::fprintf(stderr, "cannot load %s: %s\n", HID_LIB_PATH, dlerror());
        return 1;
    }
    silent_devices(500);
    stall_while_silent_devices_appear(500);
    scan_time(32);
    scan_time(64);
    input_latency();
    idle_cpu(argc > 1 ? std::atoi(argv[1]) : 10);
    return 0;
}
