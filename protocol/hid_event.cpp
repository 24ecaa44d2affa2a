// The library's input handler: reports in, complete replies out to the dispatch (input thread).
#include "protocol/link.h"

#include <QtGlobal>

#include <exception>

void Link::hid_event(const THIDreport& report) {
    health.report_arrived();
    try {
        if (auto message = reassembler_.feed(report)) {
            health.message_verified();
            reply_dispatch(*message);
        }
    } catch (const std::exception& e) {
        // Only memory can run out on this way; the exception must not unwind into the library's thread,
        // so the reply is dropped, said in the journal, and the link goes on.
        qWarning("a reply of the unit was dropped: %s", e.what());
    }
}
