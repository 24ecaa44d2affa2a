// Test entry: an offscreen application with a private runtime folder, and the worker stopped at the end.
#include "core/Tthr.h"
#include "protocol/USB.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir runtime; // 0700, private to this test process: its own virtual HID bus
    setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    // The program's data (backups of the unit's settings) stays inside it too.
    setenv("XDG_DATA_HOME", (runtime.path() + "/data").toLocal8Bit().constData(), 1);
    QTemporaryDir work; // the working folder, where the utility writes its library file
    QDir::setCurrent(work.path());
    QApplication app(argc, argv);
    const int rc = RUN_ALL_TESTS();
    thr.Terminate();
    thr.WaitFor();
    usb_shutdown();
    return rc;
}
