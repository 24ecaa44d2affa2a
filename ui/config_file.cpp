// Configuration file: the extension rule, an all-or-nothing write, and the overlay of a loaded head.
#include "ui/config_file.h"

#include "core/file_reason.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace config_file {

namespace {
constexpr QLatin1String cfg(".cfg");

bool is_separator(QChar c) {
#ifdef Q_OS_WIN
    return c == u'/' || c == u'\\' || c == u':'; // a drive colon ends the folder part too
#else
    return c == u'/';
#endif
}
} // namespace

QString with_extension(const QString& chosen, Qt::CaseSensitivity c) {
    // The extension is looked for in the file name only: a dot in a folder name is none.
    qsizetype dot = -1;
    for (qsizetype i = chosen.size() - 1; i >= 0 && !is_separator(chosen[i]); --i) {
        if (chosen[i] == u'.') {
            dot = i;
            break;
        }
    }
    const bool has_cfg = dot >= 0 && QStringView(chosen).mid(dot).compare(cfg, c) == 0;
    return has_cfg ? chosen : chosen + cfg;
}

bool save(const QString& path, const Tpar& p, QString& reason) {
    // A device or a pipe would be replaced by a plain file (the save renames a new file over the old
    // one): such a name is refused instead.
    struct stat target {};
    if (::stat(QFile::encodeName(path).constData(), &target) == 0 && !S_ISREG(target.st_mode) &&
        !S_ISDIR(target.st_mode)) {
        reason = QStringLiteral("это не обычный файл (устройство или канал), он не будет заменён");
        return false;
    }
    // Replacing goes through a new file renamed over the old one, which would also replace a file the
    // operator has made read-only; opening the old one for writing first keeps its protection.
    if (QFileInfo::exists(path)) {
        QFile existing(path);
        if (!existing.open(QIODevice::WriteOnly | QIODevice::Append)) {
            reason = file_reason(existing);
            return false;
        }
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        reason = file_reason(file);
        return false;
    }
    const TparBytes bytes = to_bytes(p);
    if (file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) !=
        qint64(bytes.size())) {
        reason = file_reason(file);
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        reason = file_reason(file);
        return false;
    }
    return true;
}

bool read_head(const QString& path, QByteArray& head, QString& reason) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reason = file_reason(file);
        return false;
    }
    // Only the first bytes count, so a huge file chosen by mistake is not read whole.
    QByteArray bytes = file.read(qint64(sizeof(Tpar)) + 1);
    if (file.error() != QFileDevice::NoError) {
        reason = file_reason(file);
        return false;
    }
    head = std::move(bytes);
    return true;
}

void overlay(Tpar& p, const QByteArray& head) {
    const std::size_t n = std::min<std::size_t>(std::size_t(head.size()), sizeof(Tpar));
    std::memcpy(&p, head.constData(), n);
}

} // namespace config_file
