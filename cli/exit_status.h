// What the command-line program's exit status tells a script.
#pragma once

enum ExitStatus : int {
    exit_done = 0,          // everything asked for was done
    exit_failed = 1,        // the unit refused or failed, or a file could not be used
    exit_usage = 2,         // the command line is wrong: nothing was done
    exit_no_unit = 3,       // no such unit is connected
    exit_no_permission = 4, // the unit is there but may not be opened
};
