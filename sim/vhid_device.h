// A device on the virtual HID bus, served on its own thread: the way tests and the virtual unit plug in.
#pragma once

#include "hidlib/vhid_protocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What one packet from a host asks of a device, read without any socket so that hostile input can be
// tested on its own: any process of the user may connect to a device.
struct HostPacket {
    enum class Kind { hang_up, hello, output, set_output, set_feature, get_input, get_feature, ignored };
    Kind kind = Kind::ignored;
    uint8_t role = 0;          // hello: the role asked for
    bool sized = false;        // get_input, get_feature: the packet carries a report ID and a length
    uint8_t id = 0;            // get_input, get_feature
    uint16_t length = 0;       // get_input, get_feature
    std::vector<uint8_t> body; // output, set_output, set_feature: the report
};

// Reads packet p of n bytes arriving on a connection in `role` (0 until its HELLO). A connection must
// start with HELLO; an OUTPUT counts only on an interrupt connection; unknown types are ignored.
HostPacket read_host_packet(uint8_t role, const uint8_t* p, std::size_t n);

class VirtualHidDevice {
public:
    using Report = std::vector<uint8_t>;

    VirtualHidDevice(std::string name, vhid_protocol::Info info);
    ~VirtualHidDevice(); // unplugs
    VirtualHidDevice(const VirtualHidDevice&) = delete;
    VirtualHidDevice& operator=(const VirtualHidDevice&) = delete;

    // Callbacks, set before plug(); they run on the device's thread.
    std::function<void(const Report&)> on_output;     // interrupt path
    std::function<bool(const Report&)> on_set_output; // control path
    std::function<bool(const Report&)> on_set_feature;
    std::function<std::optional<Report>(uint8_t id, uint16_t length)> on_get_input;
    std::function<std::optional<Report>(uint8_t id, uint16_t length)> on_get_feature;

    // Creates the socket (and the bus folder, 0700, when missing) and starts serving.
    // False, with error() saying why, when the device cannot be plugged in.
    bool plug();
    // Closes every connection and removes the socket: the host sees an unplug.
    void unplug();
    bool plugged() const { return thread_.joinable(); }
    // A plugged device's identity changes only with the next plug().
    void set_info(vhid_protocol::Info info) { info_ = std::move(info); }

    // Any thread: sends an input report to every open interrupt connection, in call order. A
    // connection whose queue is full misses the report, as a device's full buffer would drop it.
    void send_input(const Report& report);
    // Open interrupt connections (hosts that opened the device).
    std::size_t open_count() const;
    // Waits until no host holds a connection of any kind to the device (each one's descriptors closed
    // on this side too), at most `limit`; true when none is left.
    bool wait_unconnected(std::chrono::milliseconds limit) const;

    std::string path() const { return path_; }
    std::string error() const { return error_; }

    // The bus folder, created when missing; "" when there is no runtime folder.
    static std::string bus_dir();

private:
    struct Connection {
        int fd;
        uint8_t role; // 0 until HELLO
    };
    void serve();
    void handle(Connection& c, const uint8_t* packet, std::size_t n);
    void reply(int fd, bool ok, const std::optional<Report>& report = std::nullopt);

    std::string name_;
    std::string path_;
    vhid_protocol::Info info_;
    std::string error_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex m_; // guards connections_
    mutable std::condition_variable closed_;
    std::vector<Connection> connections_;
    std::thread thread_;
};
