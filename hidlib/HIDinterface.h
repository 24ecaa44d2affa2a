// The HID access library's logic: the device table, probing, the current device, transfers, the input
// thread and the device-change handler. The module's 18 entry points call into one instance.
#pragma once

#include "hidlib/HIDtypes.h"
#include "hidlib/platform.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
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

    // Waits for a call of the old handler that is under way (unless called from that very handler).
    void set_input_handler(THIDeventHandler handler);
    void set_change_handler(TUSBeventHandler handler);
    TUSBeventHandler change_handler() const { return change_handler_.load(); }

    static constexpr int slot_count = 32;

private:
    // The current device as one consistent view, taken under the lock; I/O then runs without it.
    struct Current {
        std::shared_ptr<platform::Device> device;
        THIDdeviceInfo info;
    };
    bool current(Current& c) const;
    void drain();
    template <class Buffer, class Call> uint8_t buffer_transfer(Buffer* buffer, int kind, Call call);
    void deliver(const THIDreport& report, const THIDdeviceInfo& info);
    void wake();
    void input_loop();

    mutable std::mutex m_;
    std::array<THIDdeviceInfo, slot_count> Devices{};
    std::array<std::shared_ptr<platform::Device>, slot_count> handles_;
    int CurrentDevice = -1;
    int32_t next_handle_ = 1;
    bool current_gone_ = false; // the current device hung up; not read again until reopened
    Current draining_;          // a device just closed, whose waiting reports are still to be delivered
    std::condition_variable drained_;

    std::atomic<THIDeventHandler> input_handler_{nullptr};
    // Held while the input handler runs, so that replacing or clearing it waits for a call under way:
    // once HIDsetEventHandler has returned, the old handler is not running and will not be called.
    std::mutex handler_m_;
    std::atomic<TUSBeventHandler> change_handler_{nullptr};

    int wake_fd_ = -1; // eventfd: handler, device or stop changed
    std::atomic<bool> stop_{false};
    std::unique_ptr<DeviceWatch> watch_;
    std::thread input_;
};

// The item-count rule over one report table.
uint8_t item_count(const THIDreportItem (&items)[10], uint16_t length, uint8_t id);
// Fills a record from what a probe learnt; VendorID stays 0 when the device is not to be listed.
void describe(const std::string& path, const platform::Facts& facts, THIDdeviceInfo& info);
