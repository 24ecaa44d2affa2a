// Flags of the device link shared by the user-interface, worker and input threads.
#pragma once

#include <atomic>

// The open unit runs its boot loader: the settings poll is off (written by discovery).
extern std::atomic<bool> boot_mode;
// A unit is open through the library: gates every send (written by discovery, read by the worker).
extern std::atomic<bool> dev_open;
