// QLockFile: it records the holder's process and takes over a lock whose holder has died.
#include "cli/update_lock.h"

#include <QDir>
#include <QStandardPaths>

namespace {

QString lock_path(const QString& serial) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    // The serial is the unit's own text: nothing in it may lead the file out of the folder.
    QString name = serial;
    for (QChar& c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    return QDir(folder).filePath(QStringLiteral("rv390pkta-update-%1.lock").arg(name));
}
} // namespace

bool UpdateLocks::claim(const QString& serial, QString& why) {
    const std::lock_guard guard(lock_);
    if (held_.count(serial) != 0)
        return true;
    const QString path = lock_path(serial);
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0); // an update may take long: only a dead holder frees the unit
    if (lock->tryLock(0)) {
        held_.emplace(serial, std::move(lock));
        return true;
    }
    qint64 pid = 0;
    QString host, app;
    switch (lock->error()) {
    case QLockFile::LockFailedError:
        lock->getLockInfo(&pid, &host, &app);
        why = QStringLiteral("блок уже обновляет другой процесс (%1, pid %2): дождитесь его конца")
                  .arg(app.isEmpty() ? QStringLiteral("rv390pkta-cli") : app)
                  .arg(pid);
        break;
    default:
        why = QStringLiteral("не удалось создать файл блокировки %1: нет прав или места")
                  .arg(QDir::toNativeSeparators(path));
    }
    return false;
}
