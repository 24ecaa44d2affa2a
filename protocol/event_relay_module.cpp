// The event relay module: each loaded copy passes the library's calls on to the link that bound it.
#include "protocol/event_relay.h"

namespace {
// This copy's link. Written before the handlers are handed to the library, which orders that write
// before its calls.
TEventRelay relay{};
} // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void relay_bind(TEventRelay r) {
    relay = r;
}

EXPORT void relay_report(THIDreport report, uint8_t count) {
    if (relay.report != nullptr)
        relay.report(relay.target, report, count);
}

EXPORT void relay_change() {
    if (relay.change != nullptr)
        relay.change(relay.target);
}
