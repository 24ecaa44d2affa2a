// Shared by the kernel tests: skipping without a gadget stack, and finding the unit among the library's
// records.
#pragma once

#include "hidlib/HIDtypes.h"
#include "sim/gadget_link.h"

#include <gtest/gtest.h>

#include <string>

// These tests need root, configfs gadgets and a UDC: inside the guest of tests/kernel/run.sh they have
// them; anywhere else they skip and say why.
#define SKIP_WITHOUT_GADGETS()                                                                               \
    do {                                                                                                     \
        std::string why_not;                                                                                 \
        if (!GadgetLink::available(GadgetOptions{}, &why_not))                                               \
            GTEST_SKIP() << "no USB gadget stack here (" << why_not << "); tests/kernel/run.sh runs this";   \
    } while (0)

inline std::string record_text(const THIDstring& s) {
    return std::string(s.Chars, s.Length);
}

// The unit's vendor-defined descriptor as the unit model gives it: report ID 1, 64-byte input and output.
inline constexpr uint16_t unit_vendor = 0x7A39;
inline constexpr uint16_t unit_product = 0x0390;
inline constexpr uint16_t boot_product = 0x0391;
