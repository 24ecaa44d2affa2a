// Every test in folders of its own: a private runtime folder (its own virtual HID bus), a data folder
// (the settings backups), a configuration folder (what the window remembers) and a working folder (the
// library file). So the tests of one program share a
// process and still start as if each had one of its own.
#pragma once

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

class FreshFolders : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& /*test*/) override {
        runtime_ = std::make_unique<QTemporaryDir>(); // 0700, private to this test
        setenv("XDG_RUNTIME_DIR", runtime_->path().toLocal8Bit().constData(), 1);
        setenv("XDG_DATA_HOME", (runtime_->path() + "/data").toLocal8Bit().constData(), 1);
        setenv("XDG_CONFIG_HOME", (runtime_->path() + "/config").toLocal8Bit().constData(), 1);
        work_ = std::make_unique<QTemporaryDir>();
        QDir::setCurrent(work_->path());
    }
    void OnTestEnd(const ::testing::TestInfo& /*test*/) override {
        QDir::setCurrent(QDir::tempPath()); // a test may have left the working folder removed
        work_.reset();
        runtime_.reset();
    }

    // Installs one for every test of the program.
    static void install() { ::testing::UnitTest::GetInstance()->listeners().Append(new FreshFolders); }

private:
    std::unique_ptr<QTemporaryDir> runtime_;
    std::unique_ptr<QTemporaryDir> work_;
};
