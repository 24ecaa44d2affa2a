// Bringing the device link up on activation of the main window.
#include "core/Tthr.h"
#include "protocol/USB.h"

bool usb_init() {
    thr.Start(); // only the first activation starts it
    // The utility loads only the library module it carries; until that module is built and carried,
    // there is nothing to load, and initialisation fails as it must when the library is missing.
    return false;
}
