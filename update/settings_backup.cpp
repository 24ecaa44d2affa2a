// Saving the settings block before an update: the same 17 bytes as a configuration file.
#include "update/settings_backup.h"

#include "core/file_reason.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

QString backups_folder() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty())
        return {};
    QString folder = QDir(data).filePath(QStringLiteral("backups"));
    QDir().mkpath(folder);
    return folder;
}

BackupResult save_backup(const QString& serial, const TparBytes& block, const QDateTime& when) {
    const QString folder = backups_folder();
    if (folder.isEmpty() || !QDir(folder).exists())
        return {false, {}, QStringLiteral("нет папки для резервных копий (%1)").arg(folder)};
    // A serial number is the unit's own text: nothing in it may lead the file out of the folder.
    QString name = serial;
    for (QChar& c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    const QString stem = QDir(folder).filePath(
        QStringLiteral("%1-%2").arg(name.isEmpty() ? QStringLiteral("unit") : name,
                                    when.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))));
    // The name is claimed by creating the file exclusively, so that no other backup (of this process or
    // another, in the same millisecond) can ever be written over; the bytes then go in whole through
    // QSaveFile, over the empty claim.
    QString path;
    for (int n = 1; path.isEmpty(); ++n) {
        const QString candidate =
            n == 1 ? stem + QStringLiteral(".cfg") : QStringLiteral("%1-%2.cfg").arg(stem).arg(n);
        QFile claim(candidate);
        if (claim.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            path = candidate;
        else if (!claim.exists() || n == 1000)
            return {
                false,
                {},
                QStringLiteral("файл %1: %2").arg(QDir::toNativeSeparators(candidate), file_reason(claim))};
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(block.data()), static_cast<qint64>(block.size())) !=
            static_cast<qint64>(block.size()) ||
        !file.commit()) {
        const QString why = file_reason(file);
        QFile::remove(path);
        return {false, {}, QStringLiteral("файл %1: %2").arg(QDir::toNativeSeparators(path), why)};
    }
    return {true, path, {}};
}
