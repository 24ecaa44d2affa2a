// A test double of the HID access library: records output reports and answers as told.
#pragma once

#include "protocol/framing.h"

#include <atomic>
#include <mutex>
#include <vector>

class Link;

// One at a time: the library's entry points carry no context, so the double's record is the test
// program's own.
struct HidDouble {
    // Installs the double into the link's entry-point table and marks a unit as open.
    explicit HidDouble(Link& link);
    ~HidDouble();
    Link& link;

    std::vector<Report> reports() const;
    // Result of each HIDSetOutputReport call, in call order; the last one repeats.
    void answer(std::vector<bool> results);
};
