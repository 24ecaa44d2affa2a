// show: the settings block of one unit, or of each with --all.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"

int run_show(const Invocation& inv, UnitSession& session) {
    return for_each_unit(session, inv, [&inv](UnitSession& s, const FoundUnit&, QString& why) {
        TparBytes block;
        const ExitStatus read = s.read_settings(block, why);
        if (read != exit_done)
            return read;
        if (inv.json)
            s.result = block_json(s.opened(), block);
        else
            s.out_lines(block_lines(s.opened(), block));
        return exit_done;
    });
}
