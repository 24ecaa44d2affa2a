// The table of the HID access library's bound entry points.
#pragma once

#include "hidlib/HIDtypes.h"

#include <QString>

struct THIDentries {
#define HID_ENTRY_FIELD(name, result, params) result(*name) params = nullptr;
    HID_ENTRY_POINTS(HID_ENTRY_FIELD)
#undef HID_ENTRY_FIELD
};

// Bound by usb_init; all null until then. Tests may fill it with doubles.
extern THIDentries hid;

// Loads the module file at `path` and binds all 18 entry points by name into `hid`.
// On failure `hid` is left unchanged and `error` says what went wrong.
bool hid_bind(const QString& path, QString& error);
