// The commands of rv390pkta-cli; each returns the program's exit status.
#pragma once

#include "cli/arguments.h"

int run_list(const Invocation& inv);
int run_show(const Invocation& inv);
int run_monitor(const Invocation& inv);
int run_set(const Invocation& inv);
int run_reset(const Invocation& inv);
int run_save(const Invocation& inv);
int run_load(const Invocation& inv);
int run_update(const Invocation& inv);
