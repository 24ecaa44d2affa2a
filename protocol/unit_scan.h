// The units among the HID devices the library lists: who they are and whether they can be opened.
#pragma once

#include "core/unit_identity.h"
#include "hidlib/HIDtypes.h"

#include <optional>
#include <vector>

struct THIDentries;

struct FoundUnit {
    uint8_t index = 0; // the library's list position, for HIDopenDevice
    UnitIdentity identity;
    bool boot_loader = false; // it runs its boot loader: "(boot)" after the model name
    bool can_open = false;    // the library may open it
    // It may not be opened for lack of rights: a kernel node the user may not read and write, or a
    // device of the virtual bus that grants queries only (the bus's model of such a node).
    bool no_permission() const { return !can_open; }
    bool kernel_node() const { return identity.path.startsWith(QLatin1String("/dev/")); }
};

// Why a unit that was found cannot be opened, for the operator: the permission hint with its fix, or a
// line of its own; empty when it can be opened.
QString cannot_open_note(const FoundUnit& unit);

// The device at `hid`'s list position `index` of the last scan, when it is a unit.
std::optional<FoundUnit> unit_at(const THIDentries& hid, uint8_t index);

// Scans through `hid` and lists every unit connected, in the library's order.
std::vector<FoundUnit> scan_units(const THIDentries& hid);
