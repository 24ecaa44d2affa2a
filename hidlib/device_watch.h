// Turns device arrivals and removals into calls of the host's device-change handler.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

class QObject;

class DeviceWatch {
public:
    // Created on the thread that loads the library. When that thread runs a Qt event loop, `changed`
    // runs there, from that loop; otherwise (a host without Qt, a library loaded before the host's
    // application object or from a plain thread) it runs on the watch's own thread.
    explicit DeviceWatch(std::function<void()> changed);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Any thread: the current device hung up.
    void device_gone();
    // Any thread: the virtual bus's set of devices still to answer a question has changed.
    void questions_changed();

private:
    void run();
    void deliver();

    std::function<void()> changed_;
    QObject* loop_context_ = nullptr; // on the loading thread, when it runs a Qt event loop
    int uevent_fd_ = -1;              // the kernel's hidraw adds and removes
    int inotify_fd_ = -1;             // the virtual bus folder
    int gone_fd_ = -1;                // hang-ups seen by the input thread
    int wake_fd_ = -1;                // stop, or new questions to watch
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
