// Loading the HID access library module and binding its entry points by name.
#include "protocol/HID.h"

#include <dlfcn.h>

THIDentries hid;

bool hid_bind(const QString& path, QString& error) {
    // RTLD_NODELETE: the library's input thread runs until the process ends, so it is never unmapped.
    void* module = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!module) {
        error = QString::fromLocal8Bit(dlerror());
        return false;
    }
    THIDentries bound;
#define HID_ENTRY_BIND(name, result, params)                                                                 \
    bound.name = reinterpret_cast<result(*) params>(dlsym(module, #name));                                   \
    if (!bound.name) {                                                                                       \
        error = QStringLiteral("%1: entry point %2 is missing").arg(path, QStringLiteral(#name));            \
        return false;                                                                                        \
    }
    HID_ENTRY_POINTS(HID_ENTRY_BIND)
#undef HID_ENTRY_BIND
    hid = bound;
    return true;
}
