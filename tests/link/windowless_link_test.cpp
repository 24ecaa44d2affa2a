// The link and the update routine with no window at all, on QtCore only: what a command-line host has.
#include "core/Tthr.h"
#include "core/link_flags.h"
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/USB.h"
#include "protocol/commands.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "tests/support/wait.h"
#include "ui/settings.h"
#include "ui/settings_gate.h"
#include "update/settings_backup.h"
#include "update/update_procedure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {
// The library file goes into a private working folder, as the windows' launcher arranges.
struct Workdir {
    QTemporaryDir dir;
    QString before = QDir::currentPath();
    Workdir() { QDir::setCurrent(dir.path()); }
    ~Workdir() { QDir::setCurrent(before); }
};
} // namespace

TEST(WindowlessLink, FindsTheChosenUnitPollsItWritesABlockAndUpdatesIt) {
    Workdir work;
    UnitOptions first, second;
    first.serial = "VU-0001";
    second.serial = "VU-0002";
    second.restart_delay = first.restart_delay = 50ms;
    VirtualUnit other(first), unit(second);
    ASSERT_TRUE(other.plug());
    ASSERT_TRUE(unit.plug());

    // Nothing of any window is subscribed: the link runs all the same.
    int refreshes = 0;
    ui_hooks.refresh = [&] {
        ++refreshes;
        (void)settings_gate::refreshed();
    };
    choose_unit(QString::fromStdString(second.serial));
    ASSERT_TRUE(usb_init());
    ASSERT_TRUE(dev_open && !boot_mode);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] { poll_settings(); });
    poll.start(200);
    ASSERT_TRUE(wait_for([&] { return settings_gate::valid() && refreshes > 0; }));
    EXPECT_EQ(to_bytes(par.get()), unit.settings());

    par.edit([](Tpar& p) { p.headroom = 20; });
    save();
    ASSERT_TRUE(wait_for([&] { return unit.settings()[13] == 20; }));
    EXPECT_EQ(other.command_count(), 0u); // the unit not chosen heard nothing

    // The update: into the boot loader, the routine, the unit's answer through the hand-over.
    mailbox.post(Request{cmd_upd_poll, {}, false});
    ASSERT_TRUE(wait_for([&] { return dev_open && boot_mode; }));
    const auto bytes = make_update_file({"RV-390PKTA", 1, 4, std::vector<uint8_t>(700, 0x5A), {1, 2, 3}});
    QFile file(work.dir.filePath("fw.voku"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    file.close();
    std::optional<bool> answer;
    ui_hooks.update_result = [&](bool ok) { answer = ok; };
    std::vector<int> progress;
    const UpdateResult result = run_update(
        file.fileName(), QStringLiteral("RV-390PKTA(boot)"),
        {nullptr, [&](int p) { progress.push_back(p); }, nullptr},
        [](const Request& r) { return mailbox.send_and_wait(r); }, post_holding_for_answer);
    EXPECT_EQ(result.outcome, UpdateOutcome::sent);
    EXPECT_EQ(progress.back(), 100);
    ASSERT_TRUE(wait_for([&] { return answer.has_value(); }));
    EXPECT_TRUE(*answer);
    EXPECT_EQ(unit.flash()[699], 0x5A);
    ui_hooks = {};
    thr.Terminate();
    thr.WaitFor();
    usb_shutdown();
}

TEST(SettingsBackup, SavesTheBlockUnderTheSerialAndTimeAndSaysWhyWhenItCannot) {
    const TparBytes block = to_bytes(default_par);
    const QDateTime when(QDate(2026, 12, 9), QTime(10, 11, 12));
    const BackupResult saved = save_backup(QStringLiteral("../VU 7"), block, when);
    ASSERT_TRUE(saved.saved) << saved.why.toStdString();
    EXPECT_EQ(QFileInfo(saved.path).fileName(), QStringLiteral("___VU_7-20261209-101112-000.cfg"));
    EXPECT_EQ(QFileInfo(saved.path).absolutePath(), QDir(backups_folder()).absolutePath());
    QFile file(saved.path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray(reinterpret_cast<const char*>(block.data()), 17));
    file.close();
    // A second backup in the same millisecond (the defaults after an update) keeps the first one.
    const BackupResult again = save_backup(QStringLiteral("../VU 7"), TparBytes{}, when);
    ASSERT_TRUE(again.saved) << again.why.toStdString();
    EXPECT_EQ(QFileInfo(again.path).fileName(), QStringLiteral("___VU_7-20261209-101112-000-2.cfg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray(reinterpret_cast<const char*>(block.data()), 17));

    // A data folder that cannot be made: the reason, and nothing saved.
    const QByteArray home = qgetenv("XDG_DATA_HOME");
    QTemporaryDir scratch;
    QFile blocker(scratch.filePath("data"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder would go
    qputenv("XDG_DATA_HOME", scratch.filePath("data").toLocal8Bit());
    const BackupResult refused = save_backup(QStringLiteral("VU"), block, when);
    qputenv("XDG_DATA_HOME", home);
    EXPECT_FALSE(refused.saved);
    EXPECT_FALSE(refused.why.isEmpty());
}
