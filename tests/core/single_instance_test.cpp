// One utility per user, checked with real processes.
#include "core/single_instance.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Probe {
    explicit Probe(const QString& channel) {
        process.setProgram(QStringLiteral(SINGLE_INSTANCE_PROBE));
        process.setArguments({channel});
        process.start();
    }
    ~Probe() {
        process.kill();
        process.waitForFinished(5000);
    }
    // The next line the probe prints.
    QString line() {
        while (!process.canReadLine())
            if (!process.waitForReadyRead(10000))
                return {};
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    QProcess process;
};

class SingleInstanceTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString channel = QDir(dir.path()).filePath(QStringLiteral("probe.sock"));
};

} // namespace

TEST_F(SingleInstanceTest, ASecondStartBringsTheFirstForwardAndEnds) {
    Probe first(channel);
    ASSERT_EQ(first.line(), "running");
    Probe second(channel);
    EXPECT_EQ(second.line(), "forwarded");
    EXPECT_TRUE(second.process.waitForFinished(10000));
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_EQ(first.line(), "show");
    EXPECT_EQ(first.process.state(), QProcess::Running);
}

TEST_F(SingleInstanceTest, AChannelLeftByACrashedInstanceDoesNotStopTheNextStart) {
    {
        Probe crashed(channel);
        ASSERT_EQ(crashed.line(), "running");
        crashed.process.kill(); // no chance to clean up its channel
        crashed.process.waitForFinished(5000);
    }
    ASSERT_TRUE(QFile::exists(channel));
    Probe next(channel);
    EXPECT_EQ(next.line(), "running");
    Probe third(channel);
    EXPECT_EQ(third.line(), "forwarded");
}

TEST_F(SingleInstanceTest, OfStartsThatRaceExactlyOneRuns) {
    std::vector<std::unique_ptr<Probe>> probes;
    probes.reserve(4);
    for (int i = 0; i < 4; ++i)
        probes.push_back(std::make_unique<Probe>(channel));
    int running = 0;
    int forwarded = 0;
    for (auto& p : probes) {
        const QString said = p->line();
        running += said == "running";
        forwarded += said == "forwarded";
    }
    EXPECT_EQ(running, 1);
    EXPECT_EQ(forwarded, 3);
}

TEST(SingleInstanceName, IsPrivateToTheUser) {
    const QString name = SingleInstance::default_name();
    EXPECT_TRUE(name.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR"))) << name.toStdString();
    EXPECT_TRUE(name.contains(QString::number(getuid())));
}
