// The library's input handler: reports in, complete replies out to the dispatch (input thread).
#include "protocol/USB.h"
#include "protocol/link_health.h"
#include "protocol/reply_dispatch.h"

#include <QtGlobal>

#include <exception>

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
    } catch (const std::exception& e) {
        // Only memory can run out on this way; the exception must not unwind into the library's thread,
        // so the reply is dropped, said in the journal, and the link goes on.
        qWarning("a reply of the unit was dropped: %s", e.what());
    }
}
