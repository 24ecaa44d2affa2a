// The HID access library's logic: the device table, probing, the current device, transfers, the input
// thread and the device-change handler. The module's 18 entry points call into one instance.
#pragma once

#include "hidlib/HIDtypes.h"
#include "hidlib/handler_slot.h"
#include "hidlib/platform.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class DeviceWatch;

class HIDinterface {
public:
    // Runs on the loading thread: the device-change watcher belongs to it; the input thread starts.
    HIDinterface();
    // Stops and joins the input thread and releases every descriptor.
    ~HIDinterface();
    HIDinterface(const HIDinterface&) = delete;
    HIDinterface& operator=(const HIDinterface&) = delete;

    uint8_t scan();
    void get_info(uint8_t index, THIDdeviceInfo* info) const;
    bool open(uint8_t index);
    void close();

    uint8_t output_size() const;
    uint8_t input_size() const;
    uint8_t feature_size() const;
    uint8_t output_count(uint8_t id) const;
    uint8_t input_count(uint8_t id) const;
    uint8_t feature_count(uint8_t id) const;

    uint8_t set_output(const uint8_t* buffer);
    uint8_t get_input(uint8_t* buffer);
    uint8_t set_feature(const uint8_t* buffer);
    uint8_t get_feature(uint8_t* buffer);
    uint8_t write(const THIDreport& report);
    uint8_t read(THIDreport* report);

    // Replacing a handler never waits; clearing one waits for a call of it under way (handler_slot.h).
    void set_input_handler(THIDeventHandler handler);
    void set_change_handler(TUSBeventHandler handler);

    static constexpr int slot_count = 32;
    // A close delivers the reports that were waiting when it was called, in order, for at most this
    // long in all; what is left then is dropped, so that neither a slow nor a hung handler, nor a
    // loaded system, holds the host longer.
    static constexpr auto close_limit = std::chrono::milliseconds(500);
    // At most this many of them: the kernel's queue of an open hidraw node.
    static constexpr int drain_reports = 64;

private:
    // The current device as one consistent view, taken under the lock; I/O then runs without it.
    struct Current {
        std::shared_ptr<platform::Device> device;
        THIDdeviceInfo info;
    };
    bool current(Current& c) const;
    void drain(const Current& d);
    // The drain of `device` (any, when null) is over; a waiting close() goes on.
    void end_drain(const std::shared_ptr<platform::Device>& device);
    template <class Buffer, class Call> uint8_t buffer_transfer(Buffer* buffer, int kind, Call call);
    // Calls the input handler with a report of `device`, unless that device has been closed meanwhile.
    bool deliver(const THIDreport& report, const Current& from);
    void wake();
    void input_loop();

    mutable std::mutex m_;
    std::array<THIDdeviceInfo, slot_count> Devices{};
    std::array<std::shared_ptr<platform::Device>, slot_count> handles_;
    // Each slot's whole path: a record holds 254 characters of it, a file system's names may be longer.
    std::array<std::string, slot_count> paths_;
    int CurrentDevice = -1;
    int32_t next_handle_ = 1;
    bool current_gone_ = false; // the current device hung up; not read again until reopened
    // A device just closed, whose waiting reports are still to be delivered.
    Current draining_;
    std::condition_variable drained_; // the drain ended
    bool scanned_ = false;            // a scan has run: later ones do not wait for new devices

    HandlerSlot<THIDeventHandler> input_handler_;
    HandlerSlot<TUSBeventHandler> change_handler_;

    int wake_fd_ = -1; // eventfd: handler, device or stop changed
    std::atomic<bool> stop_{false};
    std::unique_ptr<DeviceWatch> watch_;
    std::thread input_;
};

// The item-count rule over one report table.
uint8_t item_count(const THIDreportItem (&items)[10], uint16_t length, uint8_t id);
// Fills a record from what a probe learnt; VendorID stays 0 when the device is not to be listed.
void describe(const std::string& path, const platform::Facts& facts, THIDdeviceInfo& info);
