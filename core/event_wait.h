// Waiting on this thread's event loop for something the loop or another thread brings about.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>

// Runs the event loop until `done` holds or `limit` passes; blocks between events. True when it holds.
inline bool run_events_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    QTimer alarm; // wakes the loop at the deadline
    alarm.setSingleShot(true);
    alarm.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (!alarm.isActive()) // a timer may fire a little early: arm it again for what is left
            alarm.start(static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, 3'600'000)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
