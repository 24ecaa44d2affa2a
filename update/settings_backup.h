// The unit's settings saved before a firmware update, as a configuration file in the program's data folder.
#pragma once

#include "ui/settings_block.h"

#include <QDateTime>
#include <QString>

// Where backups go: the program's data folder + "backups" (made when missing; "" when there is none).
QString backups_folder();

struct BackupResult {
    bool saved = false;
    QString path; // the file, when saved
    QString why;  // what went wrong, for the operator, when not
};

// Saves `block` as the 17-byte file "<serial>-<yyyyMMdd-HHmmss-zzz>.cfg" in backups_folder(), with "-2",
// "-3"… before the extension when that name is taken: a backup never replaces another.
BackupResult save_backup(const QString& serial, const TparBytes& block,
                         const QDateTime& when = QDateTime::currentDateTime());
