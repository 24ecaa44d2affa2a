// Reading a HID report descriptor for report lengths and value items.
#include "hidlib/report_descriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

namespace {

// Callers keep only the first few caps; this bounds memory whatever the descriptor claims.
constexpr std::size_t max_caps_per_type = 1024;
// Deeper than any real device nests; further pushes are ignored so the stack stays small.
constexpr std::size_t max_push_depth = 64;
// Individual usages kept per main item: a main item never yields more caps than this.
constexpr std::size_t max_kept_usages = max_caps_per_type;

enum class ItemType : uint8_t { main = 0, global = 1, local = 2, reserved = 3 };

enum MainTag : uint8_t { input = 0x8, output = 0x9, collection = 0xA, feature = 0xB, end_collection = 0xC };

enum GlobalTag : uint8_t {
    usage_page = 0x0,
    logical_minimum = 0x1,
    logical_maximum = 0x2,
    physical_minimum = 0x3,
    physical_maximum = 0x4,
    unit_exponent = 0x5,
    unit = 0x6,
    report_size = 0x7,
    report_id = 0x8,
    report_count = 0x9,
    push = 0xA,
    pop = 0xB,
};

enum LocalTag : uint8_t { usage = 0x0, usage_minimum = 0x1, usage_maximum = 0x2 };

struct Globals {
    uint32_t usage_page = 0;
    int32_t logical_min = 0, logical_max = 0;
    int32_t physical_min = 0, physical_max = 0;
    uint32_t report_size = 0;
    uint8_t report_id = 0;
    uint32_t report_count = 0;
};

struct Locals {
    std::vector<uint16_t> usages; // the first max_kept_usages individual usages
    std::size_t usage_total = 0;  // how many Usage items there were, kept or not
    uint16_t last_usage = 0;
    bool has_range = false;
    bool has_min = false;
    uint16_t range_min = 0;

    void clear() {
        usages.clear(); // keeps its buffer for the next main item
        usage_total = 0;
        last_usage = 0;
        has_range = has_min = false;
        range_min = 0;
    }
};

uint32_t unsigned_value(const uint8_t* data, std::size_t size) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i)
        v |= uint32_t{data[i]} << (8 * i);
    return v;
}

// Minimum, maximum and exponent items are two's complement at their own width.
int32_t signed_value(const uint8_t* data, std::size_t size) {
    const uint32_t v = unsigned_value(data, size);
    switch (size) {
    case 1:
        return static_cast<int8_t>(v);
    case 2:
        return static_cast<int16_t>(v);
    case 4:
        return static_cast<int32_t>(v);
    default:
        return 0;
    }
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Bits per report ID for one report type; `seen` tells an empty report from no report.
struct ReportBits {
    std::array<uint64_t, 256> bits{};
    bool seen = false;

    uint16_t length_in_bytes() const {
        if (!seen)
            return 0;
        const uint64_t largest = *std::max_element(bits.begin(), bits.end());
        const uint64_t bytes = largest / 8 + (largest % 8 != 0 ? 1 : 0) + 1; // cannot overflow: /8 first
        return static_cast<uint16_t>(std::min<uint64_t>(bytes, std::numeric_limits<uint16_t>::max()));
    }
};

void add_cap(std::vector<ValueCap>& caps, uint16_t usage, const Globals& g, uint32_t count) {
    if (caps.size() < max_caps_per_type)
        caps.push_back(ValueCap{usage, g.report_id, g.report_size, count});
}

void add_value_caps(std::vector<ValueCap>& caps, const Globals& g, const Locals& l) {
    const uint32_t count = g.report_count;
    if (count == 0)
        return; // describes no field
    if (l.has_range) {
        add_cap(caps, l.range_min, g, count);
        return;
    }
    const std::size_t k = l.usage_total;
    if (k == 0) {
        add_cap(caps, 0, g, count);
        return;
    }
    if (k >= count) {
        // Only kept usages can be needed: the cap limit is reached first.
        for (std::size_t i = 0; i < count && i < l.usages.size() && caps.size() < max_caps_per_type; ++i)
            add_cap(caps, l.usages[i], g, 1);
        return;
    }
    // Fewer usages than fields: the last usage covers all remaining fields.
    for (std::size_t i = 0; i + 1 < k && i < l.usages.size() && caps.size() < max_caps_per_type; ++i)
        add_cap(caps, l.usages[i], g, 1);
    add_cap(caps, l.last_usage, g, count - static_cast<uint32_t>(k - 1));
}

} // namespace

ReportCaps parse_report_descriptor(std::span<const uint8_t> descriptor) {
    ReportCaps caps;
    std::array<ReportBits, 3> bits; // input, output, feature
    Globals globals;
    std::vector<Globals> stack;
    Locals locals;

    const uint8_t* p = descriptor.data();
    std::size_t left = descriptor.size();
    while (left > 0) {
        const uint8_t prefix = *p;
        if (prefix == 0xFE) {
            // Long item: prefix, data size, tag, then the data; none of it is used here.
            if (left < 2)
                break;
            const std::size_t item = 3 + std::size_t{p[1]};
            if (left < item)
                break;
            p += item;
            left -= item;
            continue;
        }
        const std::size_t size = (prefix & 0x3) == 3 ? 4 : prefix & 0x3;
        if (left < 1 + size)
            break; // truncated: keep what was read
        const uint8_t* data = p + 1;
        const auto type = static_cast<ItemType>((prefix >> 2) & 0x3);
        const uint8_t tag = prefix >> 4;
        const uint32_t value = unsigned_value(data, size);
        p += 1 + size;
        left -= 1 + size;

        switch (type) {
        case ItemType::main: {
            int which = -1;
            std::vector<ValueCap>* list = nullptr;
            if (tag == input) {
                which = 0;
                list = &caps.input;
            } else if (tag == output) {
                which = 1;
                list = &caps.output;
            } else if (tag == feature) {
                which = 2;
                list = &caps.feature;
            }
            if (list) {
                ReportBits& rb = bits[static_cast<std::size_t>(which)];
                rb.seen = true;
                const uint64_t item_bits = uint64_t{globals.report_size} * globals.report_count; // < 2^64
                rb.bits[globals.report_id] = saturating_add(rb.bits[globals.report_id], item_bits);
                const bool constant = value & 0x1;
                const bool variable = value & 0x2;
                if (!constant && variable && globals.report_size > 1)
                    add_value_caps(*list, globals, locals);
            }
            // Collection, End Collection and reserved tags only end the local state.
            locals.clear();
            break;
        }
        case ItemType::global:
            switch (tag) {
            case usage_page:
                globals.usage_page = value;
                break;
            case logical_minimum:
                globals.logical_min = signed_value(data, size);
                break;
            case logical_maximum:
                globals.logical_max = signed_value(data, size);
                break;
            case physical_minimum:
                globals.physical_min = signed_value(data, size);
                break;
            case physical_maximum:
                globals.physical_max = signed_value(data, size);
                break;
            case report_size:
                globals.report_size = value;
                break;
            case report_id:
                globals.report_id = static_cast<uint8_t>(value); // IDs are one byte on the wire
                break;
            case report_count:
                globals.report_count = value;
                break;
            case push:
                if (stack.size() < max_push_depth)
                    stack.push_back(globals);
                break;
            case pop:
                if (!stack.empty()) {
                    globals = stack.back();
                    stack.pop_back();
                }
                break;
            default: // Unit, Unit Exponent and reserved tags do not change lengths or caps
                break;
            }
            break;
        case ItemType::local:
            switch (tag) {
            case usage: {
                const auto u = static_cast<uint16_t>(value); // a 4-byte usage has its page in the high half
                if (locals.usages.size() < max_kept_usages)
                    locals.usages.push_back(u);
                ++locals.usage_total;
                locals.last_usage = u;
                break;
            }
            case usage_minimum:
                if (!locals.has_min) // a second range would be a second cap set; the first one leads
                    locals.range_min = static_cast<uint16_t>(value);
                locals.has_min = true;
                locals.has_range = true;
                break;
            case usage_maximum: // the cap only names the minimum, but a range it is
                locals.has_range = true;
                break;
            default: // designators, strings, delimiters: not needed for caps
                break;
            }
            break;
        case ItemType::reserved:
            break;
        }
    }

    caps.input_length = bits[0].length_in_bytes();
    caps.output_length = bits[1].length_in_bytes();
    caps.feature_length = bits[2].length_in_bytes();
    return caps;
}
