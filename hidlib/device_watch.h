// Turns device arrivals and removals into calls of the host's device-change handler, on the loading thread.
#pragma once

#include <QObject>
#include <QTimer>

class HIDinterface;
class QSocketNotifier;

class DeviceWatch : public QObject {
public:
    // Created on the thread that loads the library; its notifiers and timer belong to that thread.
    explicit DeviceWatch(HIDinterface& lib);
    ~DeviceWatch() override;
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Any thread: the current device hung up.
    void device_gone();

private:
    void uevents();
    void bus_changes();
    void gone();
    void changed();

    HIDinterface& lib_;
    int uevent_fd_ = -1;  // the kernel's hidraw adds and removes
    int inotify_fd_ = -1; // the virtual bus folder
    int gone_fd_ = -1;    // eventfd from the input thread
    QSocketNotifier* uevent_notifier_ = nullptr;
    QSocketNotifier* inotify_notifier_ = nullptr;
    QSocketNotifier* gone_notifier_ = nullptr;
    // A burst of events (a hub with many devices, a replug) becomes one call.
    QTimer settle_;
};
