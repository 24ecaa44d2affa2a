// The table itself: the parser takes its rules from it and the program its commands.
#include "cli/command_table.h"

#include "cli/commands.h"

#include <algorithm>

namespace {
constexpr CommandRule table[] = {
    {"list", {"--json", "--no-header"}, false, false, 0, 0, "", run_list},
    {"show", {"--json"}, true, true, 0, 0, "", run_show},
    {"set", {}, true, true, 1, -1, "пары КЛЮЧ=ЗНАЧЕНИЕ", run_set},
    {"save", {}, true, false, 1, 1, "файл конфигурации", run_save},
    {"load", {}, true, true, 1, 1, "файл конфигурации", run_load},
    {"reset", {"--yes"}, true, true, 0, 0, "", run_reset},
    {"update",
     {"--yes", "--restore", "--no-restore", "--json"},
     true,
     true,
     1,
     1,
     "файл обновления (.voku)",
     run_update},
    {"check", {"--json"}, true, true, 1, 1, "файл настроек (.cfg или .json)", run_check},
    {"apply", {"--json", "--check", "--diff"}, true, true, 1, 1, "документ настроек (.json)", run_apply},
    {"monitor", {"--json"}, true, true, 0, 0, "", run_monitor},
    {"serve", {"--ember", "--read-only"}, false, false, 0, 0, "", run_serve},
    {"help", {}, false, false, 0, 0, "", nullptr},
};
} // namespace

bool CommandRule::allows(const QString& option) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const char* o) { return o != nullptr && option == QLatin1String(o); });
}

std::span<const CommandRule> command_table() {
    return table;
}

const CommandRule* command_rule(const QString& name) {
    for (const CommandRule& r : table)
        if (name == QLatin1String(r.name))
            return &r;
    return nullptr;
}
