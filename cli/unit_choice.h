// Which units a command acts on: --unit, --all, or the only one connected.
#pragma once

#include "cli/arguments.h"
#include "cli/exit_status.h"
#include "protocol/unit_scan.h"

#include <vector>

class UnitSession;

// The units the invocation names, scanned now. On failure, `status` and `why` say what is wrong.
struct UnitChoice {
    std::vector<FoundUnit> units;
    ExitStatus status = exit_done;
    QString why;
};
UnitChoice choose_units(UnitSession& session, const Invocation& inv);
