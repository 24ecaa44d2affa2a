// A test double of the HID access library: records output reports and answers as told.
#pragma once

#include "protocol/USB.h"

#include <atomic>
#include <mutex>
#include <vector>

struct HidDouble {
    // Installs the double into the host's entry-point table and marks a unit as open.
    HidDouble();
    ~HidDouble();

    std::vector<Report> reports() const;
    // Result of each HIDSetOutputReport call, in call order; the last one repeats.
    void answer(std::vector<bool> results);
};
