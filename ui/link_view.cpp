// The link line's inputs, and the watch that wakes the window only when they change.
#include "ui/link_view.h"

#include "core/ui_handover.h"
#include "ui/settings.h"

LinkView link_view() {
    return {link_health::state(), link_health::edits_given_up(), par.failing(), par.last_written()};
}

std::function<void()> link_view_watch() {
    return [seen = LinkView{}]() mutable {
        const LinkView now = link_view();
        if (now == seen)
            return;
        seen = now;
        post_to_ui([] {
            if (ui_hooks.link_changed)
                ui_hooks.link_changed();
        });
    };
}
