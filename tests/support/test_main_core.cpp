// Test entry for code without windows: a core application and a private runtime folder.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir runtime; // 0700, private to this test process; also holds its virtual HID bus
    setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    // The program's data (backups of the unit's settings) stays inside it too.
    setenv("XDG_DATA_HOME", (runtime.path() + "/data").toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
