// libFuzzer entry for the virtual HID bus: any process of the user can put a socket on the bus (the
// library then reads its INFO), connect to a device (which then reads the host's packets), or answer a host.
#include "hidlib/report_descriptor.h"
#include "hidlib/report_limits.h"
#include "hidlib/vhid_protocol.h"
#include "sim/vhid_device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

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

// The input as a device that declares its reports (a descriptor, after its length byte) and then sends a
// packet: a REPLY to a get or an INPUT. Whatever lengths it declares, the library moves at most the
// host's 65-byte record; the record is a heap block of that size, so one byte more is a fault.
void as_device_answer(const uint8_t* data, std::size_t size) {
    if (size == 0)
        return;
    const std::size_t d = std::min<std::size_t>(data[0], size - 1);
    const ReportCaps caps = parse_report_descriptor(std::span<const uint8_t>(data + 1, d));
    const uint8_t* packet = data + 1 + d;
    const std::size_t n = size - 1 - d;
    const auto record = std::make_unique<uint8_t[]>(sizeof(THIDreport));
    for (const uint16_t declared : {caps.output_length, caps.input_length, caps.feature_length}) {
        if (const uint16_t moved = transfer_length(declared); moved != 0) {
            const auto ok = vhid_protocol::read_reply(packet, n, record.get(), moved);
            sink = sink + (ok ? *ok : 2);
        }
        sink = sink + vhid_protocol::read_input_packet(packet, n, record.get(), input_length(declared)) +
               size_byte(declared);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    as_info(data, size);
    as_host(data, size);
    as_device_answer(data, size);
    return 0;
}
