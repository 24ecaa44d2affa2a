// Fuzzes the reassembly of input reports: any run of reports, any offsets, totals, lengths and CRCs.
#include "protocol/reassembly.h"

#include <cstring>

namespace {
volatile std::size_t sink;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Reassembler r;
    // The input is cut into 65-byte reports, the last one padded with zeros.
    for (std::size_t at = 0; at < size; at += sizeof(THIDreport)) {
        THIDreport report{};
        std::memcpy(&report, data + at, std::min(sizeof report, size - at));
        if (auto message = r.feed(report))
            sink = sink + message->size() + (*message)[0];
        sink = sink + r.buffered();
    }
    return 0;
}
