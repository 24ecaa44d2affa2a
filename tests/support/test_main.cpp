// Test entry: an offscreen application with a private runtime folder, and the worker stopped at the end.
#include "core/Tthr.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir runtime; // 0700, private to this test process
    setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    const int rc = RUN_ALL_TESTS();
    thr.Terminate();
    thr.WaitFor();
    return rc;
}
