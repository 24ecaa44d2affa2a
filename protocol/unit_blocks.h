// The last settings block each unit sent to a link in this session, by serial number: what a firmware
// update saves before it begins, when the unit was seen in its normal firmware before it went to its
// boot loader.
#pragma once

#include "ui/settings_block.h"

#include <QString>

#include <map>
#include <mutex>
#include <optional>

// Written on the input thread and read on the user-interface thread.
class UnitBlocks {
public:
    // Discovery: a unit with this serial number is open in its normal firmware; no unit is (empty).
    void opened(const QString& serial);
    // Settings replies (input thread): the open unit sent this block (sanitised).
    void received(const TparBytes& block);
    // The last block of the unit with this serial number, if one came in this session.
    std::optional<TparBytes> last_of(const QString& serial) const;

private:
    mutable std::mutex m_;
    QString open_serial_;
    std::map<QString, TparBytes> blocks_;
};
