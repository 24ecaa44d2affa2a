// Waiting in tests for something the event loop or another thread brings about.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <functional>

// Runs the event loop until pred holds or timeout_ms pass; blocks between events.
inline bool wait_for(const std::function<bool()>& pred, int timeout_ms = 5000) {
    QDeadlineTimer deadline(timeout_ms);
    QTimer alarm; // wakes the loop at the deadline
    alarm.setSingleShot(true);
    alarm.setTimerType(Qt::PreciseTimer);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        if (!alarm.isActive()) // a timer may fire a little early: arm it again for what is left
            alarm.start(std::max<qint64>(1, deadline.remainingTime()));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
