// Devices that lie about themselves. Any process of the user can put one on the virtual bus, and a USB
// device can describe itself the same way: the library and its hosts must hold against each of them.
#pragma once

#include "sim/vhid_device.h"
#include "tests/support/test_devices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

// A vendor descriptor with report ID 1 whose output, input and feature reports are `output`, `input`
// and `feature` bytes long, the report ID included (0 leaves that kind out).
inline std::vector<uint8_t> descriptor_with_lengths(uint16_t output, uint16_t input, uint16_t feature) {
    std::vector<uint8_t> d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85,
                           0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
    const auto add = [&](uint16_t length, uint8_t main_item) {
        if (length < 2)
            return;
        const auto count = static_cast<uint16_t>(length - 1);
        d.insert(d.end(), {0x96, static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8), 0x09,
                           0x01, main_item, 0x02});
    };
    add(output, 0x91);
    add(input, 0x81);
    add(feature, 0xB1);
    d.push_back(0xC0);
    return d;
}

struct Lie {
    const char* what;
    vhid_protocol::Info info;
};

// The unit's own strings, with lies in the rest: reports past the 65-byte record (and past what a
// byte holds), and strings that would forge a line or drive a terminal.
inline std::vector<Lie> hostile_devices() {
    const auto unit = [](std::string serial, std::vector<uint8_t> descriptor) {
        vhid_protocol::Info i = identity(std::move(serial), 0x1234, 0x5678, std::move(descriptor));
        i.manufacturer = "VOK-RZ";
        i.product_name = "RV-390PKTA";
        return i;
    };
    std::vector<Lie> lies{
        {"a 4000-byte output report", unit("L1", descriptor_with_lengths(4000, 65, 0))},
        {"a 4000-byte input report", unit("L2", descriptor_with_lengths(65, 4000, 0))},
        {"a 4000-byte feature report", unit("L3", descriptor_with_lengths(65, 65, 4000))},
        {"300-byte reports, past what a byte holds", unit("L4", descriptor_with_lengths(300, 300, 300))},
        {"reports one byte past the record", unit("L5", descriptor_with_lengths(66, 66, 66))},
        {"a serial that forges a line and clears the screen",
         unit("L6\nVU-FAKE 1.3 normal\x1b[2J", vendor_64_descriptor)},
    };
    lies.back().info.product_name = "RV-390PKTA\r\x1b]0;title\x07";
    return lies;
}

// Sockets on the bus that take connections and never answer: `count` of them, named `prefix` and a
// number, so that they sort before (or after) the devices a test cares about.
class SilentSockets {
public:
    SilentSockets(int count, const std::string& prefix) {
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            const std::string path = VirtualHidDevice::bus_dir() + "/" + prefix + std::to_string(10000 + i);
            std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
            EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << path;
            EXPECT_EQ(::listen(fd, 4), 0);
            fds_.push_back(fd);
            paths_.push_back(path);
        }
    }
    ~SilentSockets() {
        for (std::size_t i = 0; i < fds_.size(); ++i) {
            ::unlink(paths_[i].c_str());
            ::close(fds_[i]);
        }
    }
    int fd(std::size_t i) const { return fds_[i]; } // to answer after all
    SilentSockets(const SilentSockets&) = delete;
    SilentSockets& operator=(const SilentSockets&) = delete;

private:
    std::vector<int> fds_;
    std::vector<std::string> paths_;
};
