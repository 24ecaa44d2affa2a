// The signals are turned into a byte on a pipe; everything else happens outside the handler.
#include "cli/interrupts.h"

#include <QtGlobal>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace interrupts {

namespace {
constexpr int held[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> caught{0};
int pipe_fds[2] = {-1, -1};

void on_signal(int number) {
    int none = 0;
    caught.compare_exchange_strong(none, number);
    const int saved = errno;
    const char byte = 1;
    (void)!::write(pipe_fds[1], &byte, 1); // async-signal-safe; a full pipe has woken the reader anyway
    errno = saved;
}
} // namespace

Hold::Hold() {
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("no pipe for signals: %s", qPrintable(qt_error_string(errno)));
        return;
    }
    notifier_ = new QSocketNotifier(pipe_fds[0], QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, [] {
        char drain[16];
        while (::read(pipe_fds[0], drain, sizeof drain) > 0) {
        }
    });
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART; // the link's own system calls go on undisturbed
    sigemptyset(&action.sa_mask);
    for (const int s : held)
        sigaction(s, &action, nullptr);
}

Hold::~Hold() {
    for (const int s : held)
        std::signal(s, SIG_DFL);
    delete notifier_;
    for (int& fd : pipe_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool requested() {
    return caught.load() != 0;
}

int exit_status() {
    return 128 + caught.load();
}

const char* signal_name() {
    switch (caught.load()) {
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

int wake_fd() {
    return pipe_fds[0];
}

} // namespace interrupts
