// Ctrl+C, SIGTERM and SIGHUP (a session that drops) taken as a request to stop: the command ends at a
// point of its own choosing, says so, and exits with 128 + the signal's number, as a shell expects.
#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace interrupts {

// While one lives, the three signals are held instead of ending the process; the first one counts.
// Its notifier wakes the event loop, so waits that look at requested() end at once.
class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    QSocketNotifier* notifier_ = nullptr;
};

bool requested();
int exit_status();         // 128 + the signal's number
const char* signal_name(); // "SIGINT", "SIGTERM" or "SIGHUP"
// The descriptor that becomes readable when a signal comes (-1 without a Hold), for a blocking read.
int wake_fd();

} // namespace interrupts
