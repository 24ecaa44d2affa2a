// The settings gate: counts replies since the unit was opened.
#include "ui/settings_gate.h"

void SettingsGate::unit_opened(bool same_unit) {
    if (same_unit && is_valid_)
        return;
    is_valid_ = false;
    opened_at_ = replies_.load();
}

void SettingsGate::unit_closed() {
    is_valid_ = false;
}

void SettingsGate::reply_arrived() {
    ++replies_;
}

bool SettingsGate::refreshed() {
    if (is_valid_ || replies_.load() <= opened_at_.load())
        return false;
    is_valid_ = true;
    return true;
}
