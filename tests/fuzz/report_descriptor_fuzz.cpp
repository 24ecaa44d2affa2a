// libFuzzer entry for the report descriptor parser: any bytes must parse without a fault.
#include "hidlib/report_descriptor.h"

#include <cstddef>
#include <cstdint>
#include <span>

// Keeps the parse from being optimised away.
static volatile uint64_t sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ReportCaps caps = parse_report_descriptor(std::span<const uint8_t>(data, size));
    uint64_t h =
        caps.input_length + (uint64_t{caps.output_length} << 16) + (uint64_t{caps.feature_length} << 32);
    for (const auto* list : {&caps.input, &caps.output, &caps.feature}) {
        // The parser promises bounded output whatever the input.
        if (list->size() > 1024)
            __builtin_trap();
        for (const ValueCap& c : *list)
            h = h * 31 + c.usage + c.report_id + c.bit_size + c.report_count;
    }
    sink = h;
    return 0;
}
