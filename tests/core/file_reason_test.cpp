// File errors reach the operator with the reason in Russian, provoked for real through the
// configuration file's save and load.
#include "core/file_reason.h"
#include "tests/support/qt_russian.h"
#include "ui/config_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Case {
    const char* what;
    // Prepares the failure in `dir` and runs the operation; false when it failed, with `reason` set.
    std::function<bool(const QString& dir, QString& reason)> run;
    QString expected;
    bool needs_permissions = false; // root reads and writes regardless
};

bool read(const QString& path, QString& reason) {
    QByteArray head;
    return config_file::read_head(path, head, reason);
}

bool save(const QString& path, QString& reason) {
    return config_file::save(path, default_par, reason);
}

QString plain_file(const QString& dir, mode_t mode = 0644) {
    QString path = dir + QStringLiteral("/plain.cfg");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write("x");
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
    return path;
}

const QString missing = QStringLiteral("файл или папка не существует");
const QString no_access = QStringLiteral("нет прав доступа");
const QString a_folder = QStringLiteral("это папка, а не файл");
const QString not_a_folder = QStringLiteral("часть пути — не папка");

std::vector<Case> cases() {
    return {
        {"reading a missing file", [](const QString& d, QString& r) { return read(d + "/none.cfg", r); },
         missing},
        {"saving into a missing folder",
         [](const QString& d, QString& r) { return save(d + "/none/x.cfg", r); }, missing},
        {"reading a folder", [](const QString& d, QString& r) { return read(d, r); }, a_folder},
        {"saving over a folder", [](const QString& d, QString& r) { return save(d, r); }, a_folder},
        {"reading through a file",
         [](const QString& d, QString& r) { return read(plain_file(d) + "/x.cfg", r); }, not_a_folder},
        {"saving through a file",
         [](const QString& d, QString& r) { return save(plain_file(d) + "/x.cfg", r); }, not_a_folder},
        {"reading an unreadable file", [](const QString& d, QString& r) { return read(plain_file(d, 0), r); },
         no_access, true},
        {"saving over a device", [](const QString&, QString& r) { return save("/dev/null", r); },
         QStringLiteral("это не обычный файл (устройство или канал), он не будет заменён")},
        {"saving over a read-only file",
         [](const QString& d, QString& r) { return save(plain_file(d, 0444), r); }, no_access, true},
        // Any other reason is the system's own.
        {"reading a link to itself",
         [](const QString& d, QString& r) {
             QFile::link(d + "/loop.cfg", d + "/loop.cfg");
             return read(d + "/loop.cfg", r);
         },
         qt_error_string(ELOOP)},
    };
}

void expect_reasons() {
    for (const Case& c : cases()) {
        if (c.needs_permissions && ::geteuid() == 0) {
            // Not GTEST_SKIP: the other rows still count.
            std::cerr << "[   NOTE   ] not checked as root, which ignores permissions: " << c.what << "\n";
            continue;
        }
        QTemporaryDir dir;
        QString reason;
        EXPECT_FALSE(c.run(dir.path(), reason)) << c.what;
        EXPECT_TRUE(reason == c.expected) << c.what << ": got \"" << reason.toStdString() << "\", wanted \""
                                          << c.expected.toStdString() << '"';
    }
}

} // namespace

TEST(FileReason, CommonFailuresAreExplainedInRussianWithTheSystemsTextForTheRest) {
    expect_reasons();
}

// Qt translates some of its own file texts: they must still come out as this program words them.
TEST(FileReason, QtsOwnTranslationDoesNotChangeTheReasons) {
    const QtRussian russian;
    if (!russian)
        GTEST_SKIP() << "Qt's Russian translation (qtbase_ru.qm) is not installed";
    expect_reasons();
}

TEST(FileReason, AFullDiskIsExplainedInRussian) {
    // The device, not config_file::save: its replace-by-rename would put a plain file in its place.
    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly) || (full.write("x", 1) == 1 && full.flush()))
        GTEST_SKIP() << "/dev/full does not report a full disk here";
    EXPECT_EQ(file_reason(full).toStdString(), "нет места на диске");
}
