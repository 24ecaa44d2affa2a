// What standard output carries in JSON mode: every object names its schema_version; a failure is an
// object of its own (`error`, `unit`, `exit_status`, `message`), so a script reads one shape whatever
// happened.
#pragma once

#include "cli/exit_status.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace json_output {

// An object with schema_version first, then `fields`.
QJsonObject object(std::initializer_list<std::pair<QString, QJsonValue>> fields);
// A line of JSON lines (monitor, progress): `event` and `serial`, then `fields`.
QJsonObject event(const char* name, const QString& serial,
                  std::initializer_list<std::pair<QString, QJsonValue>> fields = {});
// The failure of a unit (`unit` its serial) or of the whole command (`unit` empty: null).
QJsonObject error(int status, const QString& unit, const QString& message);
// The kind of failure an exit status tells: "failed", "usage", "no_unit", "no_permission",
// "interrupted".
QString error_kind(int status);

QString line(const QJsonObject& object);     // one line, without blanks
QString document(const QJsonObject& object); // indented, as one document
QString document(const QJsonArray& array);

} // namespace json_output
