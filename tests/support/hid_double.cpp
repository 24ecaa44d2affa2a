// The HID access library double behind the host's entry-point table.
#include "tests/support/hid_double.h"

#include "protocol/link.h"

#include <cstring>

namespace {
std::mutex m;
std::vector<Report> sent;
std::vector<bool> results{true};
std::size_t calls = 0;

uint8_t set_output_report(const uint8_t* buffer) {
    std::lock_guard lock(m);
    Report r;
    std::memcpy(r.data(), buffer, r.size());
    sent.push_back(r);
    const bool ok = results[std::min(calls, results.size() - 1)];
    ++calls;
    return ok ? 1 : 0;
}
} // namespace

HidDouble::HidDouble(Link& l) : link(l) {
    link.hid.HIDSetOutputReport = &set_output_report;
    link.dev_open = true;
}

HidDouble::~HidDouble() {
    link.dev_open = false;
    link.hid = THIDentries{};
    std::lock_guard lock(m);
    sent.clear();
    results = {true};
    calls = 0;
}

std::vector<Report> HidDouble::reports() const {
    std::lock_guard lock(m);
    return sent;
}

void HidDouble::answer(std::vector<bool> r) {
    std::lock_guard lock(m);
    results = std::move(r);
    calls = 0;
}
