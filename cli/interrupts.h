// Ctrl+C, SIGTERM and SIGHUP (a session that drops) taken as a request to stop: the command ends at a
// point of its own choosing, says so, and exits with 128 + the signal's number, as a shell expects.
#pragma once

#include <QSocketNotifier>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace interrupts {

// The three signals as the program receives them. Built in main after the application object, before any
// thread starts: every thread then inherits them blocked, and they reach the program only through this
// object's descriptor (a signalfd), read on the event loop. So their state is this object's, not a
// signal handler's.
class Signals {
public:
    Signals();
    // A signal that came while nothing held it ends the program by that signal, as it would have at once.
    ~Signals();
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

    // A held signal has come (the first one counts). From any thread.
    bool requested() const { return caught_.load() != 0; }
    int exit_status() const;         // 128 + the signal's number
    const char* signal_name() const; // "SIGINT", "SIGTERM" or "SIGHUP"

    // Waits until `fd` can be read or a signal comes. False when a held signal came first; a signal that
    // nothing holds ends the program.
    bool wait_readable(int fd);

    // While one lives, the signals are held instead of ending the program. Waits that look at requested()
    // end at once when one comes: the descriptor's notifier wakes the event loop.
    class Hold {
    public:
        explicit Hold(Signals& stop_signals) : stop_signals_(stop_signals) { ++stop_signals_.holds_; }
        ~Hold() { --stop_signals_.holds_; }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        Signals& stop_signals_;
    };

    // While one lives, a held signal also runs `wake` (on the thread that takes the signal): for a thread
    // other than main's, whose event loop the descriptor's notifier does not wake.
    class Wake {
    public:
        Wake(Signals& stop_signals, std::function<void()> wake);
        ~Wake();
        Wake(const Wake&) = delete;
        Wake& operator=(const Wake&) = delete;

    private:
        Signals& stop_signals_;
        std::list<std::function<void()>>::iterator at_;
    };

private:
    // Takes every signal waiting on the descriptor: held ones are counted, any other ends the program.
    void take();

    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::atomic<int> holds_{0};
    std::atomic<int> caught_{0};
    std::mutex wakes_lock_;
    std::list<std::function<void()>> wakes_;
};

} // namespace interrupts
