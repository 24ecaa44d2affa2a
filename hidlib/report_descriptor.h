// Reading a HID report descriptor for what the library's records need: report lengths and value items.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// One value capability (a main item that is not an array of buttons), as the Windows driver lists it.
struct ValueCap {
    uint16_t usage;        // the usage, or the first usage of a range
    uint8_t report_id;     // 0 when the descriptor uses no report IDs
    uint32_t bit_size;     // Report Size
    uint32_t report_count; // Report Count
};

struct ReportCaps {
    // Largest report of each type in bytes, plus one byte for the report ID (also when IDs are not used);
    // 0 when the descriptor has no report of that type.
    uint16_t input_length = 0;
    uint16_t output_length = 0;
    uint16_t feature_length = 0;
    // Value capabilities of each type, in descriptor order.
    std::vector<ValueCap> input, output, feature;
};

// Never throws and never reads past `descriptor`; a malformed descriptor gives what could be read of it.
ReportCaps parse_report_descriptor(std::span<const uint8_t> descriptor);
