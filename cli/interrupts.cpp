// The signals come as records on a signalfd; nothing runs in a signal handler.
#include "cli/interrupts.h"

#include <QtGlobal>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <pthread.h>

namespace interrupts {

namespace {
sigset_t held_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, s);
    return set;
}

// As the signal's default action would have ended it: the signal is unblocked with nothing to catch it.
[[noreturn]] void end_by(int number) {
    std::signal(number, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, number);
    ::raise(number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr); // delivered here: the program ends
    std::_Exit(128 + number);                    // only if the signal was somehow ignored
}
} // namespace

Signals::Signals() {
    const sigset_t set = held_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        // Without the descriptor the signals keep their default action, as before any of this.
        qWarning("no descriptor for signals: %s", qPrintable(qt_error_string(errno)));
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { take(); });
}

Signals::~Signals() {
    if (fd_ < 0)
        return;
    take(); // one that came outside the event loop
    notifier_.reset();
    ::close(fd_);
}

void Signals::take() {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int number = static_cast<int>(info.ssi_signo);
        if (holds_ == 0)
            end_by(number);
        int none = 0;
        caught_.compare_exchange_strong(none, number);
        const std::lock_guard lock(wakes_lock_);
        for (const auto& wake : wakes_)
            wake();
    }
}

Signals::Wake::Wake(Signals& stop_signals, std::function<void()> wake) : stop_signals_(stop_signals) {
    const std::lock_guard lock(stop_signals_.wakes_lock_);
    at_ = stop_signals_.wakes_.insert(stop_signals_.wakes_.end(), std::move(wake));
}

Signals::Wake::~Wake() {
    const std::lock_guard lock(stop_signals_.wakes_lock_);
    stop_signals_.wakes_.erase(at_);
}

bool Signals::wait_readable(int fd) {
    pollfd wait[2] = {{fd, POLLIN, 0}, {fd_, POLLIN, 0}};
    while (!requested()) {
        if (::poll(wait, fd_ >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
            return true; // let the caller's read say what is wrong
        if ((wait[1].revents & POLLIN) != 0)
            take();
        if ((wait[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            return !requested();
    }
    return false;
}

int Signals::exit_status() const {
    return 128 + caught_.load();
}

const char* Signals::signal_name() const {
    switch (caught_.load()) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "";
    }
}

} // namespace interrupts
