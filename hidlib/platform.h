// The thin layer under HIDinterface: how HID interfaces are listed, described, opened and talked to.
// One file per backend: hidraw.cpp (the kernel's hidraw nodes) and vhid.cpp (the per-user virtual bus).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a probe learns of one interface, before the table's rules are applied.
struct Facts {
    bool found = false;      // the interface could be described at all
    bool read_write = false; // it opens for reading and writing
    bool attributes = false; // vendor, product and release number could be read
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t version = 0;
    std::optional<std::string> manufacturer; // 8-bit strings (Latin-1); absent when the device has none
    std::optional<std::string> product_name;
    std::optional<std::string> serial;
    std::optional<std::vector<uint8_t>> descriptor; // the report descriptor, when it could be read
};

// An open interface. The transfer calls move whole reports, report ID first, and never throw.
class Device {
public:
    virtual ~Device() = default;
    // Readable when an input report waits, or when the device has gone (then read_input fails).
    virtual int input_fd() const = 0;
    // Takes one waiting input report without blocking; its length, or -1 when none waits or on failure.
    virtual long read_input(uint8_t* buffer, std::size_t size) = 0;
    // The device is being closed: reports that arrive from now on need not be read any more.
    virtual void freeze_input() {}
    // Interrupt-path write; false when it failed or did not end within timeout_ms.
    virtual bool write(const uint8_t* report, std::size_t length, int timeout_ms) = 0;
    // Control-path transfers; `report` holds the report ID in byte 0 (also for the gets).
    virtual bool set_output(const uint8_t* report, std::size_t length) = 0;
    virtual bool get_input(uint8_t* report, std::size_t length) = 0;
    virtual bool set_feature(const uint8_t* report, std::size_t length) = 0;
    virtual bool get_feature(uint8_t* report, std::size_t length) = 0;
};

// A backend: interface paths in a stable order, the probe of one path, and opening one.
// `read_write` false opens for queries only: the handle exists, every transfer fails.
namespace hidraw {
std::vector<std::string> list();
Facts probe(const std::string& path);
std::unique_ptr<Device> open(const std::string& path, bool read_write);
// Tests point the backend at a fake tree holding sys/ and dev/ (default: the real root, "").
void set_root(const std::string& root);
// Waits until every transfer left running in the kernel by a closed device has ended (the library unloads).
void finish_transfers();
// Whether a kernel uevent (NUL-separated KEY=VALUE lines) adds or removes a hidraw node.
bool is_hidraw_change(const char* uevent, std::size_t length);
// A netlink socket that receives the kernel's uevents, non-blocking; -1 when it cannot be had.
int open_uevent_socket();
} // namespace hidraw

namespace vhid {
std::vector<std::string> list();
// Describes the devices at `paths` in one pass. A device already described (the same socket file) comes
// from memory; new ones are asked together, and those that have not answered within wait_ms are left
// out, their questions kept open for late_answer_ms more: when one answers then, collect_late_answers()
// takes the answer in, and after that it is given up and the device not asked again while its socket
// file stays. At most a quarter of the process's descriptors (256 at most) are kept for open questions;
// new devices beyond that are asked by a later scan, once older questions have been given up.
std::vector<Facts> probe_all(const std::vector<std::string>& paths, int wait_ms);
// The first scan's wait for new devices (later scans do not wait), and how long a question is kept.
inline constexpr int new_device_wait_ms = 1000;
inline constexpr int late_answer_ms = 2000;
// Connections still waiting for a device's description (for the device watcher to poll).
std::vector<int> late_answer_fds();
// Reads the answers that have come in; true when a device has become describable since.
bool collect_late_answers();
// Milliseconds until the first open question is due to be given up; -1 when none is open.
int next_expiry_ms();
// Gives up the questions whose time is over; true when the last scan left devices unasked, so that a
// scan now would ask them.
bool expire_questions();
// Closes every connection kept for late answers and forgets every description (the library unloads).
void forget_devices();
std::unique_ptr<Device> open(const std::string& path, bool read_write);
bool owns(const std::string& path);
// The bus folder when it is safe to use (the user's own, writable by nobody else), or "" otherwise.
std::string bus_dir();
} // namespace vhid

} // namespace platform
