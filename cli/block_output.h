// A unit's settings block as `show` and `monitor` print it: aligned lines, or a JSON object.
#pragma once

#include "core/unit_identity.h"
#include "ui/settings_block.h"

#include <QJsonObject>
#include <QStringList>

// The unit's identity and every field, then "raw" with the 17 bytes as the unit sent them.
QJsonObject block_json(const UnitIdentity& unit, const TparBytes& raw);
QStringList block_lines(const UnitIdentity& unit, const TparBytes& raw);
