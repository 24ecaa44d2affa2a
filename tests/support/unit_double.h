// A minimal unit on the virtual HID bus for tests of discovery: it answers settings polls and keeps writes.
#pragma once

#include "protocol/commands.h"
#include "protocol/framing.h"
#include "protocol/reassembly.h"
#include "sim/vhid_device.h"
#include "tests/support/test_devices.h"

#include <atomic>
#include <mutex>

class UnitDouble {
public:
    explicit UnitDouble(std::string name, std::string product = "RV-390PKTA", std::string serial = "0001",
                        uint16_t version = 0x0103, std::string manufacturer = "VOK-RZ")
        : device_(std::move(name), [&] {
              auto i = identity(serial);
              i.manufacturer = manufacturer;
              i.product_name = product;
              i.version = version;
              return i;
          }()) {
        device_.on_set_output = [this](const std::vector<uint8_t>& report) {
            // One-report messages only: enough for polls and settings writes.
            if (report.size() < 8 || report[1] != 0 || report[2] != 0)
                return true;
            const uint8_t cmd = report[5];
            if (cmd == cmd_get_par) {
                ++polls;
                reply(cmd_get_par);
            } else if (cmd == cmd_set_par && report[7] == 17) {
                std::lock_guard lock(m_);
                std::copy_n(report.begin() + 8, 17, block_.begin());
                reply(cmd_set_par);
            }
            return true;
        };
    }
    bool plug() { return device_.plug(); }
    void unplug() { device_.unplug(); }
    std::string path() const { return device_.path(); }
    void set_block(const std::array<uint8_t, 17>& b) {
        std::lock_guard lock(m_);
        block_ = b;
    }
    std::array<uint8_t, 17> block() const {
        std::lock_guard lock(m_);
        return block_;
    }
    std::atomic<int> polls{0};

private:
    void reply(uint8_t type) {
        std::array<uint8_t, 17> b;
        {
            std::lock_guard lock(m_);
            b = block_;
        }
        const auto message = build_message(type, b);
        std::vector<uint8_t> r(65, 0);
        r[0] = 1; // offset 0 and total 0: complete in one report
        std::copy(message.begin(), message.end(), r.begin() + 5);
        device_.send_input(r);
    }

    VirtualHidDevice device_;
    mutable std::mutex m_;
    std::array<uint8_t, 17> block_{0, 2, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0xF0, 5, 0, 1, 0};
};
