// The event relay: a module of two handlers, loaded once per link, whose own copy holds its link. The
// library calls plain C handlers that carry no context, so each link hands the library the handlers of
// its own relay instance, and they pass each call on to that link.
#pragma once

#include "hidlib/HIDtypes.h"

extern "C" {

struct TEventRelay {
    void* target;
    void (*report)(void* target, THIDreport report, uint8_t count);
    void (*change)(void* target);
};

// Exported by the relay module: binds its copy to `relay` (before its handlers are handed out), and the
// two handlers that pass calls on.
typedef void (*TRelayBind)(TEventRelay relay);
}

inline constexpr const char* relay_bind_name = "relay_bind";
inline constexpr const char* relay_report_name = "relay_report";
inline constexpr const char* relay_change_name = "relay_change";
