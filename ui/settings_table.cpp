// The table: the ranges are those the window's controls keep, and the names those the command line and
// the window show.
#include "ui/settings_table.h"

namespace {
constexpr const char* scale_names[] = {"dB", "dBFS"};
constexpr const char* indicator_names[] = {"off", "small", "full"};
constexpr const char* indicator_window[] = {"Откл.", "Small", "Full"};
constexpr const char* switch_names[] = {"off", "on"};
constexpr const char* switch_window[] = {"Откл.", "Вкл."};

constexpr SettingsField source(const char* key, std::size_t offset) {
    return {key, offset, 0, 19, false, true, "", {}, {}};
}

constexpr SettingsField table[] = {
    {"selector", 0, 0, 3, false, true, "", {}, {}},
    {"primary_group", 1, 0, 3, false, true, "Первичная группа", {}, {}},
    {"secondary_group", 2, 0, 3, false, true, "Вторичная группа", {}, {}},
    source("source1", 3),
    source("source2", 4),
    source("source3", 5),
    source("source4", 6),
    source("source5", 7),
    source("source6", 8),
    source("source7", 9),
    source("source8", 10),
    {"analog_gain", 11, -32, 16, true, false, "Усиление аналоговых входов", {}, {}},
    {"zero_db", 12, -32, 0, true, false, "Уровень 0 dB", {}, {}},
    {"headroom", 13, 0, 32, true, false, "Уровень HEADROOM", {}, {}},
    {"scale", 14, 0, 1, false, false, "Шкала", scale_names, scale_names},
    {"indicators", 15, 0, 2, false, false, "Вид индикаторов", indicator_names, indicator_window},
    {"agr", 16, 0, 1, false, false, "Audio Group Replacement", switch_names, switch_window},
};
static_assert(std::size(table) == sizeof(Tpar));
} // namespace

std::span<const SettingsField> settings_table() {
    return table;
}

const SettingsField* settings_field(std::string_view key) {
    for (const SettingsField& f : table)
        if (key == f.key)
            return &f;
    return nullptr;
}
