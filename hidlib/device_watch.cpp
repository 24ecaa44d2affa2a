// Device-change sources: kernel uevents, the virtual bus folder and hang-ups seen by the input thread.
#include "hidlib/device_watch.h"

#include "hidlib/HIDinterface.h"
#include "hidlib/platform.h"

#include <QSocketNotifier>

#include <array>
#include <cstdlib>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int settle_ms = 5;

// Empties a non-blocking descriptor.
template <class F> void drain(int fd, F&& each) {
    std::array<char, 8192> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0)
            return;
        each(buffer.data(), static_cast<std::size_t>(n));
    }
}

// The bus folder is made when missing, so that devices plugged in later are seen.
std::string ensure_bus_dir() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        ::mkdir((std::string(runtime) + "/vhid").c_str(), 0700);
    return platform::vhid::bus_dir();
}
} // namespace

DeviceWatch::DeviceWatch(HIDinterface& lib) : lib_(lib) {
    settle_.setSingleShot(true);
    settle_.setInterval(settle_ms);
    connect(&settle_, &QTimer::timeout, this, &DeviceWatch::changed);

    uevent_fd_ = platform::hidraw::open_uevent_socket();
    if (uevent_fd_ >= 0) {
        uevent_notifier_ = new QSocketNotifier(uevent_fd_, QSocketNotifier::Read, this);
        connect(uevent_notifier_, &QSocketNotifier::activated, this, &DeviceWatch::uevents);
    }
    const std::string bus = ensure_bus_dir();
    if (!bus.empty()) {
        inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_fd_ >= 0 &&
            ::inotify_add_watch(inotify_fd_, bus.c_str(),
                                IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) >= 0) {
            inotify_notifier_ = new QSocketNotifier(inotify_fd_, QSocketNotifier::Read, this);
            connect(inotify_notifier_, &QSocketNotifier::activated, this, &DeviceWatch::bus_changes);
        }
    }
    gone_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (gone_fd_ >= 0) {
        gone_notifier_ = new QSocketNotifier(gone_fd_, QSocketNotifier::Read, this);
        connect(gone_notifier_, &QSocketNotifier::activated, this, &DeviceWatch::gone);
    }
}

DeviceWatch::~DeviceWatch() {
    // Notifiers go before their descriptors.
    delete uevent_notifier_;
    delete inotify_notifier_;
    delete gone_notifier_;
    for (int fd : {uevent_fd_, inotify_fd_, gone_fd_})
        if (fd >= 0)
            ::close(fd);
}

void DeviceWatch::device_gone() {
    const uint64_t one = 1;
    if (gone_fd_ >= 0)
        (void)!::write(gone_fd_, &one, sizeof one);
}

void DeviceWatch::uevents() {
    bool hidraw = false;
    std::array<char, 8192> buffer{};
    for (;;) {
        const ssize_t n = ::recv(uevent_fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0)
            break;
        hidraw |= platform::hidraw::is_hidraw_change(buffer.data(), static_cast<std::size_t>(n));
    }
    if (hidraw && !settle_.isActive())
        settle_.start();
}

void DeviceWatch::bus_changes() {
    drain(inotify_fd_, [](const char*, std::size_t) {});
    if (!settle_.isActive())
        settle_.start();
}

void DeviceWatch::gone() {
    drain(gone_fd_, [](const char*, std::size_t) {});
    if (!settle_.isActive())
        settle_.start();
}

void DeviceWatch::changed() {
    if (const TUSBeventHandler handler = lib_.change_handler())
        handler();
}
