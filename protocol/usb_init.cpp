// Bringing the device link up on activation of the main window.
#include "core/Tthr.h"
#include "core/link_flags.h"
#include "protocol/HID.h"
#include "protocol/USB.h"
#include "protocol/library_file.h"

#include <QFileInfo>

bool usb_init() {
    thr.Start();        // only the first activation starts it
    put_library_file(); // throws LibraryFileError: the caller shows it and tries again next time
    if (!QFileInfo::exists(QString::fromLatin1(library_file_name)))
        return false;
    // Loaded once; a later activation finds it bound and goes on with the same library.
    if (hid.HIDscanForDevices == nullptr) {
        QString error;
        if (!load_carried_library(error))
            return false;
    }
    hid.HIDsetEventHandler(&hid_event);
    hid.USBsetEventHandler(&usb_connect);
    usb_connect();
    return true;
}

void usb_shutdown() {
    if (hid.HIDsetEventHandler == nullptr)
        return; // never loaded
    // The library's threads outlive the program's own objects at exit: they must stop calling in first.
    hid.USBsetEventHandler(nullptr);
    hid.HIDsetEventHandler(nullptr);
    if (dev_open) {
        hid.HIDcloseDevice();
        dev_open = false;
    }
}
