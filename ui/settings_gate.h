// Whether a link's `par` holds its opened unit's settings yet: until it does, the main window neither
// enables its controls nor sends the block, so a block of zeros or of another unit never overwrites a
// unit's settings.
#pragma once

#include <atomic>
#include <cstdint>

class SettingsGate {
public:
    // Discovery (user-interface thread): a unit in normal firmware was opened. The block stays valid only
    // when it is the unit that was open before (same node, same serial number).
    void unit_opened(bool same_unit);
    // Discovery: no unit in normal firmware is open any more.
    void unit_closed();
    // Settings replies (input thread): a settings block from the open unit is in `par`.
    void reply_arrived();
    // The main window's refresh (user-interface thread): true when this refresh made the block valid.
    bool refreshed();
    // Any thread: `par` holds the open unit's settings.
    bool valid() const { return is_valid_; }

private:
    std::atomic<uint64_t> replies_{0};   // settings replies so far
    std::atomic<uint64_t> opened_at_{0}; // `replies_` when the current unit was opened
    std::atomic<bool> is_valid_{false};
};
