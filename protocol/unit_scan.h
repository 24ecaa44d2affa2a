// The units among the HID devices the library lists: who they are and whether they can be opened.
#pragma once

#include "core/ui_handover.h"
#include "hidlib/HIDtypes.h"

#include <optional>
#include <vector>

struct FoundUnit {
    uint8_t index = 0; // the library's list position, for HIDopenDevice
    UnitIdentity identity;
    bool boot_loader = false; // it runs its boot loader: "(boot)" after the model name
    bool can_open = false;    // the library may open it (false: no permission)
};

// The device at the library's list position `index` of the last scan, when it is a unit.
std::optional<FoundUnit> unit_at(uint8_t index);

// Scans and lists every unit connected, in the library's order.
std::vector<FoundUnit> scan_units();
