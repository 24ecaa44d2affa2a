// Blocks by serial number.
#include "protocol/unit_blocks.h"

void UnitBlocks::opened(const QString& serial) {
    std::lock_guard lock(m_);
    open_serial_ = serial;
}

void UnitBlocks::received(const TparBytes& block) {
    std::lock_guard lock(m_);
    if (!open_serial_.isEmpty())
        blocks_[open_serial_] = block;
}

std::optional<TparBytes> UnitBlocks::last_of(const QString& serial) const {
    std::lock_guard lock(m_);
    const auto it = blocks_.find(serial);
    return it == blocks_.end() ? std::nullopt : std::optional<TparBytes>(it->second);
}
