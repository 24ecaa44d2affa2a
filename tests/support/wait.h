// Waiting in tests for something the event loop or another thread brings about.
#pragma once

#include "core/event_wait.h"

inline bool wait_for(const std::function<bool()>& pred, int timeout_ms = 5000) {
    return run_events_until(pred, std::chrono::milliseconds(timeout_ms));
}
