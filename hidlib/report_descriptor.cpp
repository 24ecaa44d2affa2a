// Reading a HID report descriptor for report lengths and value items.
#include "hidlib/report_descriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <optional>

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

// One short item as the descriptor holds it.
struct Item {
    ItemType type;
    uint8_t tag;
    const uint8_t* data;
    std::size_t size;
    uint32_t value; // the data as an unsigned number
};

// Reads items from the front of the descriptor, skipping long items (none of them is needed here). A
// truncated item ends the reading: what was read before it counts.
class ItemReader {
public:
    explicit ItemReader(std::span<const uint8_t> d) : p_(d.data()), left_(d.size()) {}

    std::optional<Item> next() {
        while (left_ > 0) {
            const uint8_t prefix = *p_;
            if (prefix == 0xFE) {
                // Long item: prefix, data size, tag, then the data.
                if (left_ < 2 || left_ < 3 + std::size_t{p_[1]})
                    return std::nullopt;
                skip(3 + std::size_t{p_[1]});
                continue;
            }
            const std::size_t size = (prefix & 0x3) == 3 ? 4 : prefix & 0x3;
            if (left_ < 1 + size)
                return std::nullopt;
            const Item item{static_cast<ItemType>((prefix >> 2) & 0x3), static_cast<uint8_t>(prefix >> 4),
                            p_ + 1, size, unsigned_value(p_ + 1, size)};
            skip(1 + size);
            return item;
        }
        return std::nullopt;
    }

private:
    void skip(std::size_t n) {
        p_ += n;
        left_ -= n;
    }
    const uint8_t* p_;
    std::size_t left_;
};

// The parser's state; one handler per item type changes it, as the kernel's HID core does.
struct Parser {
    ReportCaps caps;
    std::array<ReportBits, 3> bits; // input, output, feature
    Globals globals;
    std::vector<Globals> stack;
    Locals locals;
};

void main_item(Parser& s, const Item& item) {
    const auto report = [&]() -> std::optional<std::size_t> {
        switch (item.tag) {
        case input:
            return 0;
        case output:
            return 1;
        case feature:
            return 2;
        default:
            return std::nullopt;
        }
    }();
    if (report) {
        std::vector<ValueCap>* lists[] = {&s.caps.input, &s.caps.output, &s.caps.feature};
        const Globals& g = s.globals;
        ReportBits& rb = s.bits[*report];
        rb.seen = true;
        const uint64_t item_bits = uint64_t{g.report_size} * g.report_count; // < 2^64
        rb.bits[g.report_id] = saturating_add(rb.bits[g.report_id], item_bits);
        const bool constant = item.value & 0x1;
        const bool variable = item.value & 0x2;
        if (!constant && variable && g.report_size > 1)
            add_value_caps(*lists[*report], g, s.locals);
    }
    // Collection, End Collection and reserved tags only end the local state.
    s.locals.clear();
}

void global_item(Parser& s, const Item& item) {
    Globals& g = s.globals;
    switch (item.tag) {
    case usage_page:
        g.usage_page = item.value;
        break;
    case logical_minimum:
        g.logical_min = signed_value(item.data, item.size);
        break;
    case logical_maximum:
        g.logical_max = signed_value(item.data, item.size);
        break;
    case physical_minimum:
        g.physical_min = signed_value(item.data, item.size);
        break;
    case physical_maximum:
        g.physical_max = signed_value(item.data, item.size);
        break;
    case report_size:
        g.report_size = item.value;
        break;
    case report_id:
        g.report_id = static_cast<uint8_t>(item.value); // IDs are one byte on the wire
        break;
    case report_count:
        g.report_count = item.value;
        break;
    case push:
        if (s.stack.size() < max_push_depth)
            s.stack.push_back(g);
        break;
    case pop:
        if (!s.stack.empty()) {
            g = s.stack.back();
            s.stack.pop_back();
        }
        break;
    default: // Unit, Unit Exponent and reserved tags do not change lengths or caps
        break;
    }
}

void local_item(Parser& s, const Item& item) {
    Locals& l = s.locals;
    switch (item.tag) {
    case usage: {
        const auto u = static_cast<uint16_t>(item.value); // a 4-byte usage has its page in the high half
        if (l.usages.size() < max_kept_usages)
            l.usages.push_back(u);
        ++l.usage_total;
        l.last_usage = u;
        break;
    }
    case usage_minimum:
        if (!l.has_min) // a second range would be a second cap set; the first one leads
            l.range_min = static_cast<uint16_t>(item.value);
        l.has_min = true;
        l.has_range = true;
        break;
    case usage_maximum: // the cap only names the minimum, but a range it is
        l.has_range = true;
        break;
    default: // designators, strings, delimiters: not needed for caps
        break;
    }
}

void reserved_item(Parser&, const Item&) {}

// By item type: main, global, local, reserved.
constexpr std::array<void (*)(Parser&, const Item&), 4> handlers = {main_item, global_item, local_item,
                                                                    reserved_item};

} // namespace

ReportCaps parse_report_descriptor(std::span<const uint8_t> descriptor) {
    Parser s;
    ItemReader reader(descriptor);
    while (const std::optional<Item> item = reader.next())
        handlers[static_cast<std::size_t>(item->type)](s, *item);
    s.caps.input_length = s.bits[0].length_in_bytes();
    s.caps.output_length = s.bits[1].length_in_bytes();
    s.caps.feature_length = s.bits[2].length_in_bytes();
    return std::move(s.caps);
}
