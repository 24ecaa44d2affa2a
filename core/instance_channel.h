// The per-user channel the running window listens on: its name, and asking whether anyone listens.
#pragma once

#include <QString>

// The channel's socket path, private to the user (in the runtime folder).
QString instance_channel_name();

// True when a process listens on the channel `name`, i.e. the window runs. Only connects: the window
// acts on nothing but a "show" request, so asking does not bring it forward.
bool instance_running(const QString& name = instance_channel_name());
