// A module exporting the library's entry points by name, each answering 7, to test binding.
#include "hidlib/HIDtypes.h"

#define DOUBLE_ENTRY(name, result, params)                                                                   \
    extern "C" __attribute__((visibility("default"))) result name params {                                   \
        return static_cast<result>(7);                                                                       \
    }

#ifdef ONLY_SOME_ENTRY_POINTS
// Only a few of the entry points: a module the host must refuse.
DOUBLE_ENTRY(USBsetEventHandler, void, (TUSBeventHandler))
DOUBLE_ENTRY(HIDsetEventHandler, void, (THIDeventHandler))
DOUBLE_ENTRY(HIDscanForDevices, uint8_t, ())
#else
HID_ENTRY_POINTS(DOUBLE_ENTRY)
#endif
