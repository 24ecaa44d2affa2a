// The library's input handler: reports in, complete replies out to the dispatch (input thread).
#include "protocol/USB.h"
#include "protocol/link_health.h"
#include "protocol/reply_dispatch.h"

namespace {
Reassembler reassembler; // input thread only
}

extern "C" void hid_event(THIDreport report, uint8_t /*count*/) {
    link_health::report_arrived();
    try {
        if (auto message = reassembler.feed(report)) {
            link_health::message_verified();
            reply_dispatch(*message);
        }
    } catch (...) {
        // A reply that cannot be handled is dropped without a word; the link goes on.
    }
}
