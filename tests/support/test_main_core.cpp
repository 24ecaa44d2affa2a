// Test entry for code without windows: a core application; every test in folders of its own.
#include "tests/support/fresh_folders.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    FreshFolders::install();
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
