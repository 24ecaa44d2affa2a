// The link line's inputs, and the watch that wakes the window only when they change.
#include "ui/link_view.h"

#include "core/ui_handover.h"
#include "protocol/link.h"

LinkView link_view(const Link& link) {
    return {link.health.state(), link.health.edits_given_up(), link.par.failing(), link.par.last_written()};
}

std::function<void()> link_view_watch(Link& link) {
    return [&link, seen = LinkView{}]() mutable {
        const LinkView now = link_view(link);
        if (now == seen)
            return;
        seen = now;
        link.ui.post(&link, [&link] { emit link.link_changed(); });
    };
}
