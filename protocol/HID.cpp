// Loading module instances and binding the HID access library's entry points by name.
#include "protocol/HID.h"

#include <dlfcn.h>
#include <unistd.h>

ModuleInstance::~ModuleInstance() {
    unload();
}

bool ModuleInstance::load(const QString& path, QString& error) {
    unload();
    handle_ = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr)
        error = QString::fromLocal8Bit(dlerror());
    return handle_ != nullptr;
}

void ModuleInstance::keep_file(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

void* ModuleInstance::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void ModuleInstance::unload() {
    // The library stops its own threads when it is unloaded.
    if (handle_ != nullptr)
        dlclose(handle_);
    handle_ = nullptr;
    keep_file(-1);
}

bool hid_bind(const QString& path, ModuleInstance& module, THIDentries& into, QString& error) {
    if (!module.load(path, error))
        return false;
    THIDentries bound;
#define HID_ENTRY_BIND(name, result, params)                                                                 \
    bound.name = reinterpret_cast<result(*) params>(module.symbol(#name));                                   \
    if (!bound.name) {                                                                                       \
        error = QStringLiteral("%1: entry point %2 is missing").arg(path, QStringLiteral(#name));            \
        module.unload();                                                                                     \
        return false;                                                                                        \
    }
    HID_ENTRY_POINTS(HID_ENTRY_BIND)
#undef HID_ENTRY_BIND
    into = bound;
    return true;
}
