// The commands of rv390pkta-cli; each returns the program's exit status.
#pragma once

#include "cli/arguments.h"

class UnitSession;

int run_list(const Invocation& inv, UnitSession& session);
int run_show(const Invocation& inv, UnitSession& session);
int run_monitor(const Invocation& inv, UnitSession& session);
int run_set(const Invocation& inv, UnitSession& session);
int run_reset(const Invocation& inv, UnitSession& session);
int run_save(const Invocation& inv, UnitSession& session);
int run_load(const Invocation& inv, UnitSession& session);
int run_check(const Invocation& inv, UnitSession& session);
int run_apply(const Invocation& inv, UnitSession& session);
int run_serve(const Invocation& inv, UnitSession& session);
int run_update(const Invocation& inv_given, UnitSession& session);
