// Blocks by serial number, written on the input thread and read on the user-interface thread.
#include "protocol/unit_blocks.h"

#include <map>
#include <mutex>

namespace unit_blocks {

namespace {
std::mutex m;
QString open_serial;
std::map<QString, TparBytes> blocks;
} // namespace

void opened(const QString& serial) {
    std::lock_guard lock(m);
    open_serial = serial;
}

void received(const TparBytes& block) {
    std::lock_guard lock(m);
    if (!open_serial.isEmpty())
        blocks[open_serial] = block;
}

std::optional<TparBytes> last_of(const QString& serial) {
    std::lock_guard lock(m);
    const auto it = blocks.find(serial);
    return it == blocks.end() ? std::nullopt : std::optional<TparBytes>(it->second);
}

} // namespace unit_blocks
