// rv390pkta-sim as a script drives it: its lines on stdout, its stdin commands, signals and bad input.
#include "sim/update_file.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace {

class Program : public ::testing::Test {
protected:
    void start(const QStringList& args) {
        sim.start(SIM_PROGRAM, args);
        ASSERT_TRUE(sim.waitForStarted());
    }
    // Reads lines until one contains `text`; blocks on the pipe between them.
    bool line_with(const QString& text) {
        for (;;) {
            while (sim.canReadLine()) {
                const QString line = QString::fromUtf8(sim.readLine());
                if (line.contains(text))
                    return true;
            }
            if (!sim.waitForReadyRead(5000))
                return false;
        }
    }
    void type(const char* line) { sim.write(line); }
    int finish() {
        EXPECT_TRUE(sim.waitForFinished(5000));
        return sim.exitCode();
    }

    QProcess sim;
};

} // namespace

TEST_F(Program, PrintsALinePerEventAndFollowsItsCommands) {
    start({"--serial", "P-1", "--restart-delay", "10", "--version", "2.7"});
    ASSERT_TRUE(line_with("plugged RV-390PKTA, serial P-1, version 2.7 (normal firmware)"));
    type("boot\n");
    ASSERT_TRUE(line_with("restarting into the boot loader"));
    ASSERT_TRUE(line_with("plugged RV-390PKTA(boot)"));
    type("settings 00 01 01 00 01 02 03 04 05 06 07 00 EE 0A 01 02 00\n");
    ASSERT_TRUE(line_with("settings: 00 01 01"));
    type("fault drop-every 3\nfault late-answer-max 1500\nfault drop-reply-percent 10\n");
    ASSERT_TRUE(
        line_with("faults: drop-every 3, late-answer-max 1500 ms at 100%, drop-reply-percent 10, seed 0"));
    type("unplug\n");
    ASSERT_TRUE(line_with("unplugged"));
    type("plug\n");
    ASSERT_TRUE(line_with("plugged RV-390PKTA(boot)"));
    type("flashed\n");
    ASSERT_TRUE(line_with("flashed: flash nothing"));
    // Bad commands are answered, not fatal.
    type("settings 0g\nfault drop-every -1\nfault\nfrobnicate\n");
    ASSERT_TRUE(line_with("error: settings"));
    ASSERT_TRUE(line_with("error: drop-every"));
    ASSERT_TRUE(line_with("error: fault"));
    ASSERT_TRUE(line_with("unknown command 'frobnicate'"));
    type("quit\n");
    ASSERT_TRUE(line_with("stopped"));
    EXPECT_EQ(finish(), 0);
}

TEST_F(Program, OutlivesTheEndOfItsInputAndStopsOnSigterm) {
    start({"--boot"});
    sim.closeWriteChannel();
    ASSERT_TRUE(line_with("stdin closed"));
    sim.terminate();
    ASSERT_TRUE(line_with("stopped"));
    EXPECT_EQ(finish(), 0);
}

TEST_F(Program, RefusesBadArgumentsWithAReason) {
    const std::pair<QStringList, const char*> cases[] = {
        {{"--drop-every", "x"}, "not a whole number"},
        {{"--settings", "00 01"}, "2 bytes given"},
        {{"--version", "1.300"}, "above the limit"},
        {{"--report-delay", "1500"}, "below 1000 ms"},
        {{"--corrupt-reply-percent", "101"}, "above the limit"},
        {{"--serial"}, "needs a value"},
        {{"--bogus"}, "unknown option"},
        {{"make-update", "--flash", "f.bin"}, "-o FILE"},
        {{"make-update", "--version", "12", "-o", "x"}, "<digit>.<digit>"},
    };
    for (const auto& [args, why] : cases) {
        start(args);
        EXPECT_EQ(finish(), 2) << args.join(' ').toStdString();
        EXPECT_TRUE(sim.readAllStandardError().contains(why)) << why;
    }
}

TEST_F(Program, MakeUpdateWritesTheFileOrSaysWhyNot) {
    QTemporaryDir dir;
    const std::string flash = dir.filePath("f.bin").toStdString();
    std::ofstream(flash, std::ios::binary) << std::string(600, 'F');
    const QString out = dir.filePath("out.voku");
    start({"make-update", "--name", "RV-390PKTA", "--version", "1.4", "--flash",
           QString::fromStdString(flash), "-o", out});
    EXPECT_EQ(finish(), 0);
    std::ifstream written(out.toStdString(), std::ios::binary);
    const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(written), {});
    // The firmware is made to name its version, as the unit then reports it.
    std::vector<uint8_t> named(600, 'F');
    name_firmware_version(named, 1, 4);
    EXPECT_EQ(bytes, make_update_file({"RV-390PKTA", 1, 4, named, {}}));

    start({"make-update", "--flash", dir.filePath("missing.bin"), "-o", out});
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(sim.readAllStandardError().contains("cannot open the flash image"));
}
