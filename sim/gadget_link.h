// A device's second way to attach: the device side of a USB HID gadget (configfs, usb_f_hid) on a UDC.
#pragma once

#include "hidlib/vhid_protocol.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Where and how the gadget is made. The defaults fit a system with configfs at its usual place.
struct GadgetOptions {
    std::string configfs = "/sys/kernel/config/usb_gadget";
    std::string name = "rv390pkta"; // the gadget's folder under configfs
    std::string udc;                // the controller to bind to; "" takes the first in /sys/class/udc
    std::string sys = "/sys";       // sysfs, to find the controllers and the device node
    std::string dev = "/dev";
    // Bytes per interrupt packet. A whole report with its ID (65 bytes) must fit: the gadget cuts every
    // write to this length, and the host's 65-byte output reports then arrive in one read.
    unsigned report_length = 65;
};

// plug() and unplug() are called from one thread at a time (the virtual unit serialises them).
class GadgetLink {
public:
    using Report = std::vector<uint8_t>;

    explicit GadgetLink(GadgetOptions options = {});
    ~GadgetLink(); // unplugs and removes the gadget from configfs
    GadgetLink(const GadgetLink&) = delete;
    GadgetLink& operator=(const GadgetLink&) = delete;

    // Every output report of the host, interrupt writes and SET_REPORT alike (the host's HID driver
    // sends both on the interrupt-out endpoint). Set before plug(); runs on the link's thread.
    std::function<void(const Report&)> on_output;

    // Makes the gadget when it is missing (one left by a process that died is taken over), gives it
    // this identity (ids, bcdDevice = version, the three strings), binds it to the controller and opens
    // its device node. The report descriptor is fixed by the first plug(). False, with error(), when a
    // step fails; the host then sees nothing.
    bool plug(const vhid_protocol::Info& identity);
    // Lets the host take the last input report (bounded wait), then unbinds: the host sees a disconnect.
    void unplug();
    bool plugged() const { return plugged_; }

    // Any thread: one input report, report ID first. Waits while the host has not yet taken the previous
    // one, at most `timeout_ms`; false when it was not sent (no host reading, or unplugged).
    bool send_input(const Report& report, int timeout_ms = 1000);

    std::string error() const;
    std::string device_path() const; // "/dev/hidgN" while plugged
    std::string udc() const;         // the controller it is bound to while plugged

    // Whether gadgets can be made here: configfs with usb_gadget and at least one UDC. Why not, in `why`.
    static bool available(const GadgetOptions& options, std::string* why = nullptr);

private:
    std::string dir() const;
    bool make(const vhid_protocol::Info& identity);
    bool set_identity(const vhid_protocol::Info& identity);
    void remove();
    void serve();
    bool fail(const std::string& what);

    const GadgetOptions options_;
    bool made_ = false;
    std::atomic<bool> plugged_{false};
    std::mutex write_m_; // the writes on fd_, and opening and closing it
    int fd_ = -1;        // the device node; fixed while the link's thread runs
    int wake_fd_ = -1;   // eventfd: stops the link's thread and any waiting send
    std::thread thread_;
    mutable std::mutex m_; // error_, node_, udc_
    std::string error_;
    std::string node_;
    std::string udc_;
};
