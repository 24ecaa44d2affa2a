// Which units a command acts on (--unit, --all, or the only one connected), and acting on each in turn.
#pragma once

#include "cli/arguments.h"
#include "cli/exit_status.h"
#include "protocol/unit_scan.h"

#include <functional>
#include <vector>

class UnitSession;

// The units the invocation names, scanned now. On failure, `status` and `why` say what is wrong.
struct UnitChoice {
    std::vector<FoundUnit> units;
    ExitStatus status = exit_done;
    QString why;
};
UnitChoice choose_units(UnitSession& session, const Invocation& inv);

// Opens each chosen unit in turn and runs `act` on it (act sets `why` when it fails). Goes on past a
// unit that fails; with --all a summary follows. The exit status: 0 when every unit was done, else the
// failures' common status, or 1 when they differ.
// No further unit is begun after a signal (interrupts); the units left count as failed.
int for_each_unit(UnitSession& session, const Invocation& inv,
                  const std::function<ExitStatus(const FoundUnit&, QString& why)>& act);
// The same over units chosen beforehand (its failure is said and returned as it is).
int for_each_unit(UnitSession& session, const Invocation& inv, const UnitChoice& choice,
                  const std::function<ExitStatus(const FoundUnit&, QString& why)>& act);
