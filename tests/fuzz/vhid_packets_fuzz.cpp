// libFuzzer entry for the virtual HID bus: any process of the user can put a socket on the bus (the
// library then reads its INFO) or connect to a device (which then reads the host's packets).
#include "hidlib/vhid_protocol.h"
#include "sim/vhid_device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Keeps the reads from being optimised away.
static volatile uint64_t sink;

namespace {

bool same(const vhid_protocol::Info& a, const vhid_protocol::Info& b) {
    return a.vendor == b.vendor && a.product == b.product && a.version == b.version && a.flags == b.flags &&
           a.manufacturer == b.manufacturer && a.product_name == b.product_name && a.serial == b.serial &&
           a.descriptor == b.descriptor;
}

// The input as a device's INFO packet. What the library accepts must survive being written again: a
// packet fits in max_packet bytes, so nothing of it is cut on the way.
void as_info(const uint8_t* data, std::size_t size) {
    const auto info = vhid_protocol::decode_info(data, size);
    if (!info)
        return;
    if (size <= vhid_protocol::max_packet) {
        const auto packet = vhid_protocol::encode(*info);
        const auto again = vhid_protocol::decode_info(packet.data(), packet.size());
        if (packet.size() > vhid_protocol::max_packet || !again || !same(*info, *again))
            __builtin_trap();
    }
    sink = sink + info->descriptor.size() + (info->serial ? info->serial->size() : 0);
}

// The input as what a host sends on one connection: packets, each after a length byte; a zero length
// is the host hanging up. The connection's role follows HELLO as the device's does.
void as_host(const uint8_t* data, std::size_t size) {
    uint8_t role = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t n = std::min<std::size_t>(data[at++], size - at);
        if (n == 0)
            return;
        const HostPacket in = read_host_packet(role, data + at, n);
        at += n;
        // A report is the packet less its type byte, never more.
        if (in.body.size() >= n)
            __builtin_trap();
        if (in.kind == HostPacket::Kind::hang_up)
            return;
        if (in.kind == HostPacket::Kind::hello) {
            if (in.role == vhid_protocol::ROLE_QUERY)
                return;
            role = in.role;
        }
        sink = sink + static_cast<uint64_t>(in.kind) + in.body.size() + in.length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    as_info(data, size);
    as_host(data, size);
    return 0;
}
