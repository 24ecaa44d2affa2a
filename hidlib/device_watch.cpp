// Device-change sources: kernel uevents, the virtual bus folder, late answers of virtual devices and
// hang-ups seen by the input thread, watched on a thread of the library's own.
#include "hidlib/device_watch.h"

#include "hidlib/platform.h"
#include "hidlib/vhid_protocol.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// A burst of events (a hub with many devices, a replug) becomes one call.
constexpr int settle_ms = 5;

// Empties a non-blocking descriptor.
void drain(int fd) {
    std::array<char, 8192> buffer{};
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
}

void poke(int fd) {
    const uint64_t one = 1;
    if (fd >= 0)
        (void)!::write(fd, &one, sizeof one);
}

// The bus folder is made when missing, so that devices plugged in later are seen.
std::string ensure_bus_dir() {
    if (const std::string folder = vhid_protocol::bus_folder(); !folder.empty())
        ::mkdir(folder.c_str(), 0700);
    return platform::vhid::bus_dir();
}

// Runs a call bound on the loading thread whenever an event of a user type is posted to it. Nothing of
// ours travels inside Qt's event queue, where no tool (ThreadSanitizer among them) can follow the
// hand-over: customEvent reads nothing of the event, and Qt frees it.
class LoopCall : public QObject {
public:
    explicit LoopCall(std::function<void()> fn) : fn_(std::move(fn)) {}

protected:
    void customEvent(QEvent* /*event*/) override { fn_(); }

private:
    std::function<void()> fn_;
};

// Whether the calling thread runs (or will run) a Qt event loop that can take queued calls.
bool qt_loop_here() {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    return app->thread() == QThread::currentThread() || QAbstractEventDispatcher::instance() != nullptr;
}
} // namespace

DeviceWatch::DeviceWatch(std::function<void()> changed) : changed_(std::move(changed)) {
    if (qt_loop_here())
        loop_context_ = new LoopCall([this] { changed_(); });
    uevent_fd_ = platform::hidraw::open_uevent_socket();
    const std::string bus = ensure_bus_dir();
    if (!bus.empty()) {
        inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_fd_ >= 0 &&
            ::inotify_add_watch(inotify_fd_, bus.c_str(),
                                IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB) < 0) {
            ::close(inotify_fd_);
            inotify_fd_ = -1;
        }
    }
    gone_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ >= 0)
        thread_ = std::thread([this] { run(); });
}

DeviceWatch::~DeviceWatch() {
    stop_ = true;
    poke(wake_fd_);
    if (thread_.joinable())
        thread_.join();
    // Calls still queued for the loading thread go with their context.
    delete loop_context_;
    for (int fd : {uevent_fd_, inotify_fd_, gone_fd_, wake_fd_})
        if (fd >= 0)
            ::close(fd);
}

void DeviceWatch::device_gone() {
    poke(gone_fd_);
}

void DeviceWatch::questions_changed() {
    poke(wake_fd_);
}

void DeviceWatch::deliver() {
    if (loop_context_ == nullptr) {
        changed_();
        return;
    }
    // The event carries nothing: the call was bound on the loading thread (see LoopCall).
    QCoreApplication::postEvent(loop_context_, new QEvent(QEvent::User));
}

void DeviceWatch::run() {
    bool pending = false;
    for (;;) {
        std::vector<pollfd> fds{
            {wake_fd_, POLLIN, 0}, {uevent_fd_, POLLIN, 0}, {inotify_fd_, POLLIN, 0}, {gone_fd_, POLLIN, 0}};
        const std::size_t fixed = fds.size();
        for (int fd : platform::vhid::late_answer_fds())
            fds.push_back({fd, POLLIN, 0});
        // Woken also when a question of the bus is due to be given up.
        const int expiry = platform::vhid::next_expiry_ms();
        const int timeout = pending ? (expiry < 0 ? settle_ms : std::min(settle_ms, expiry)) : expiry;
        const int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0)
            continue; // EINTR
        if (r == 0) {
            // Devices left unasked for want of room are asked by a scan once room has been made.
            const bool rescan = platform::vhid::expire_questions();
            if (pending) {
                pending = false;
                deliver();
            } else {
                pending = rescan;
            }
            continue;
        }
        if (fds[0].revents != 0) {
            drain(wake_fd_);
            if (stop_)
                return;
        }
        if (fds[1].revents != 0) {
            std::array<char, 8192> buffer{};
            for (;;) {
                const ssize_t n = ::recv(uevent_fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0)
                    break;
                pending |= platform::hidraw::is_hidraw_change(buffer.data(), static_cast<std::size_t>(n));
            }
        }
        for (std::size_t i : {std::size_t{2}, std::size_t{3}}) {
            if (fds[i].revents != 0) {
                drain(fds[i].fd);
                pending = true;
            }
        }
        bool answered = false;
        for (std::size_t i = fixed; i < fds.size(); ++i)
            answered |= fds[i].revents != 0;
        if (answered && platform::vhid::collect_late_answers())
            pending = true;
    }
}
