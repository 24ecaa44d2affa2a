// What the main window's link line is made of, readable from any thread.
#pragma once

#include "protocol/link_health.h"

#include <cstdint>
#include <functional>

class Link;

struct LinkView {
    link_health::State state = link_health::State::fine;
    uint64_t edits_given_up = 0;
    bool failing = false;      // a change waits for the link to come back
    uint64_t last_written = 0; // how many changes have reached a unit
    bool operator==(const LinkView&) const = default;
};

LinkView link_view(const Link& link);

// A tick for the link watch's worker timer: has `link` tell link_changed whenever the view differs from
// the one it last saw. While nothing changes, the idle window is not woken.
std::function<void()> link_view_watch(Link& link);
