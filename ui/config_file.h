// The configuration file: the 17 bytes of the settings block, saved and loaded without any framing.
#pragma once

#include "ui/settings_block.h"

#include <QByteArray>
#include <QString>

namespace config_file {

// The name a block is saved under: `chosen` itself when its extension is exactly ".cfg", else
// `chosen` with ".cfg" appended. The extension starts at the last "." after the last path separator.
// The window compares the extension exactly; the command line takes ".CFG" too, as people type it.
QString with_extension(const QString& chosen, Qt::CaseSensitivity c = Qt::CaseSensitive);

// Writes the block to `path`, creating the file or replacing it whole: a failure part-way leaves any
// earlier file as it was. On failure `reason` gets the system's reason.
bool save(const QString& path, const Tpar& p, QString& reason);

// Reads the leading bytes of `path`, at most one more than the size of a block, so that a caller can
// tell a longer file. On failure `reason` gets the system's reason.
bool read_head(const QString& path, QByteArray& head, QString& reason);

// Copies `head` over the leading bytes of `p`; bytes past the block's end are ignored. No checks:
// the values reach the unit as the file has them.
void overlay(Tpar& p, const QByteArray& head);

} // namespace config_file
