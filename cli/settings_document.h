// A settings document: a JSON object of named fields, as `show --json` prints them (all or some), which
// `load`, `check` and `apply` take instead of a configuration file's 17 bytes.
#pragma once

#include <QString>
#include <QStringList>

namespace settings_document {

// The version of the documents this program writes and reads.
inline constexpr int schema_version = 1;

// Whether `file` is a settings document rather than a configuration file: its name ends in ".json".
bool is_document(const QString& file);

// Reads the document's named fields as KEY=VALUE pairs (for settings_fields::apply). False, with `why`
// naming the file and what is wrong (not JSON, not an object, an unknown key, a value that is neither a
// number nor a name, another schema_version), when it cannot be taken; then nothing is to be sent.
// Identity fields of `show --json` (serial, product, version, path, raw) are read past.
bool read(const QString& file, QStringList& pairs, QString& why);

} // namespace settings_document
