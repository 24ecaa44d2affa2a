// Waiting in tests for something the event loop or another thread brings about.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <functional>

// Runs the event loop until pred holds or timeout_ms pass; blocks between events.
inline bool wait_for(const std::function<bool()>& pred, int timeout_ms = 5000) {
    QDeadlineTimer deadline(timeout_ms);
    QTimer alarm; // wakes the loop at the deadline
    alarm.setSingleShot(true);
    alarm.start(timeout_ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
