// Test entry: an offscreen application; every test builds its own link, in folders of its own.
#include "tests/support/fresh_folders.h"

#include <QApplication>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    FreshFolders::install();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
