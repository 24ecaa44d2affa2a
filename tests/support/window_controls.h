// The main window's controls: the widget that holds every control placed on it (the note under them
// is not one of them), and whether they are all on or all off.
#pragma once

#include <QMainWindow>
#include <QString>

#include <algorithm>

inline QWidget* controls_of(const QMainWindow& window) {
    return window.findChild<QWidget*>(QStringLiteral("controls"));
}

// Every control is enabled (and there is at least one).
inline bool controls_enabled(const QMainWindow& window) {
    const auto controls = controls_of(window)->findChildren<QWidget*>();
    return !controls.isEmpty() &&
           std::all_of(controls.begin(), controls.end(), [](QWidget* c) { return c->isEnabled(); });
}

inline bool controls_disabled(const QMainWindow& window) {
    const auto controls = controls_of(window)->findChildren<QWidget*>();
    return std::none_of(controls.begin(), controls.end(), [](QWidget* c) { return c->isEnabled(); });
}
