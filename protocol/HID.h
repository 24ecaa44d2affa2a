// The table of the HID access library's bound entry points, and a loaded instance of a module.
#pragma once

#include "hidlib/HIDtypes.h"

#include <QString>

struct THIDentries {
#define HID_ENTRY_FIELD(name, result, params) result(*name) params = nullptr;
    HID_ENTRY_POINTS(HID_ENTRY_FIELD)
#undef HID_ENTRY_FIELD
};

// One loaded instance of a module file: the library keeps one current device per instance, so every
// link loads one of its own. Unloaded when destroyed, once nothing of it is called any more.
class ModuleInstance {
public:
    ModuleInstance() = default;
    ~ModuleInstance();
    ModuleInstance(const ModuleInstance&) = delete;
    ModuleInstance& operator=(const ModuleInstance&) = delete;

    // Loads the file at `path` as a new instance. False, with `error` set, when it cannot be loaded.
    bool load(const QString& path, QString& error);
    // Keeps `fd` (the file the instance was loaded from) open while the instance lives: the loader
    // knows an instance by its path, and a file number in use names no other instance meanwhile.
    void keep_file(int fd);
    bool loaded() const { return handle_ != nullptr; }
    void* symbol(const char* name) const;
    void unload();

private:
    void* handle_ = nullptr;
    int fd_ = -1;
};

// Loads the module file at `path` into `module` and binds all 18 entry points by name into `into`.
// On failure `into` is left unchanged and `error` says what went wrong.
bool hid_bind(const QString& path, ModuleInstance& module, THIDentries& into, QString& error);
