// The carried HID access library: its bytes, putting its file in place, and loading exactly those bytes.
#pragma once

#include "protocol/HID.h"

#include <QString>

#include <cstdint>
#include <span>
#include <stdexcept>

// The module images built with the utility: the library, and the event relay (event_relay.h).
std::span<const uint8_t> hid_resource();
std::span<const uint8_t> relay_resource();

// The file the library is written to, in the current working folder.
inline constexpr const char* library_file_name = "HID_Lib.so";

// A library file that could not be written; the text names the file and the system's reason.
class LibraryFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the carried image to the library file when it is missing or holds other bytes (only the
// utility's own library is ever left there). Throws LibraryFileError when it cannot be written.
void put_library_file();

// Loads a new instance of the carried library itself (from sealed memory, so nothing on disk can change
// what is loaded) into `module` and binds its entry points into `into`. False, with `error` set, when
// it cannot be loaded or bound.
bool load_carried_library(ModuleInstance& module, THIDentries& into, QString& error);
// Loads a new instance of the carried event relay into `module`.
bool load_carried_relay(ModuleInstance& module, QString& error);
