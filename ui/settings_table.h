// Every field of the settings block once: its byte, the values it may hold, the window's caption and
// the command line's key and names. The window, the command line and the virtual unit take their
// ranges from here; no window is needed to read it.
#pragma once

#include "ui/settings_block.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

struct SettingsField {
    const char* key;    // the command line's and the JSON's key
    std::size_t offset; // its byte in the block
    int low, high;      // the values it may hold, as stored
    bool is_signed;     // stored as two's complement
    bool from_one;      // shown and typed one more than stored (the selector, the groups, the sources)
    const char* label;  // the window's caption (UTF-8); "" where the window labels it otherwise
    std::span<const char* const> names; // the command line's name of each value, from low; empty: a number
    std::span<const char* const> window_names; // the window's list texts, from low; empty: no list
};

// The 17 fields in the block's order.
std::span<const SettingsField> settings_table();
// The field of `key`; null when there is none.
const SettingsField* settings_field(std::string_view key);
