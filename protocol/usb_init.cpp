// Bringing the device link up on activation of the main window.
#include "core/Tthr.h"
#include "core/link_flags.h"
#include "protocol/HID.h"
#include "protocol/USB.h"
#include "protocol/library_file.h"

#include <QFileInfo>

namespace {
QString last_error;
}

QString usb_init_error() {
    return last_error;
}

bool usb_init() {
    last_error.clear();
    thr.Start();        // only the first activation starts it
    put_library_file(); // throws LibraryFileError: the caller shows it and tries again next time
    if (!QFileInfo::exists(QString::fromLatin1(library_file_name))) {
        last_error = QStringLiteral("%1: файл библиотеки пропал сразу после записи").arg(library_file_name);
        return false;
    }
    if (!usb_load(last_error))
        return false;
    usb_connect();
    return true;
}

bool usb_load(QString& error) {
    // Loaded once; a later activation finds it bound and goes on with the same library.
    if (hid.HIDscanForDevices == nullptr && !load_carried_library(error))
        return false;
    hid.HIDsetEventHandler(&hid_event);
    hid.USBsetEventHandler(&usb_connect);
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
