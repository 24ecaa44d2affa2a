// What the library's two handlers saw, for tests that load the module; handlers are plain functions.
#pragma once

#include "hidlib/HIDtypes.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

struct Seen {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> reports;
    std::vector<uint8_t> counts;
    bool on_library_thread = true;
    std::atomic<int> changes{0};
    std::atomic<bool> change_on_loading_thread{true};
};
inline Seen seen;

// The thread that loaded the module; tests set it before registering the handlers.
inline Qt::HANDLE loading_thread = nullptr;

// A test's start: this thread loads the module, and nothing has been seen yet.
inline void watch_handlers() {
    loading_thread = QThread::currentThreadId();
    std::lock_guard lock(seen.m);
    seen.reports.clear();
    seen.counts.clear();
    seen.on_library_thread = true;
    seen.changes = 0;
    seen.change_on_loading_thread = true;
}

inline void on_input(THIDreport report, uint8_t count) {
    std::lock_guard lock(seen.m);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&report);
    seen.reports.emplace_back(bytes, bytes + sizeof report);
    seen.counts.push_back(count);
    seen.on_library_thread &= QThread::currentThreadId() != loading_thread;
    seen.cv.notify_all();
}

inline void on_change() {
    ++seen.changes;
    if (QThread::currentThreadId() != loading_thread)
        seen.change_on_loading_thread = false;
}

// Waits until the input handler has seen n reports in all.
inline bool wait_reports(std::size_t n, std::chrono::seconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(seen.m);
    return seen.cv.wait_for(lock, limit, [&] { return seen.reports.size() >= n; });
}
