// Every command of rv390pkta-cli in one table: what its command line may hold, and what runs it.
#pragma once

#include "cli/arguments.h"

#include <QString>

#include <array>
#include <span>

class UnitSession;

struct CommandRule {
    const char* name;
    // Besides --unit and --all, which takes_unit and takes_all allow; the unused places are null.
    std::array<const char*, 4> options;
    bool allows(const QString& option) const;
    bool takes_unit;
    bool takes_all;
    int min_operands;
    int max_operands;     // -1: any number
    const char* operands; // what the operands are, for the message when they are missing
    int (*run)(const Invocation&, UnitSession&); // null for help, which the program answers itself
};

std::span<const CommandRule> command_table();
// The rule of `name`, or null when there is no such command.
const CommandRule* command_rule(const QString& name);
