// Storage of the link flags; all false at start.
#include "core/link_flags.h"

std::atomic<bool> boot_mode{false};
std::atomic<bool> dev_open{false};
