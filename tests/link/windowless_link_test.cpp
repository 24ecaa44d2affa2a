// The link and the update routine with no window at all, on QtCore only: what a command-line host has.
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/link.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "tests/support/wait.h"
#include "update/settings_backup.h"
#include "update/update_procedure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

// The waits below end with the events they wait for; the limit only stops a hang, and is wide enough
// for two whole updates under a sanitizer on a loaded machine.
constexpr int hang_guard = 60000;

namespace {
// The library file goes into a private working folder, as the windows' launcher arranges.
struct Workdir {
    QTemporaryDir dir;
    QString before = QDir::currentPath();
    Workdir() { QDir::setCurrent(dir.path()); }
    ~Workdir() { QDir::setCurrent(before); }
};
} // namespace

// A link of its own for one unit, chosen by serial number, brought up as the window brings it up.
struct UnitLink {
    Link link;
    int refreshes = 0;
    std::optional<bool> answer;
    QTimer poll;
    UnitLink(UiHandover& ui, const std::string& serial) : link(ui) {
        // Nothing of any window is subscribed: the link runs all the same.
        QObject::connect(&link, &Link::refresh, [this] {
            ++refreshes;
            (void)link.gate.refreshed();
        });
        QObject::connect(&link, &Link::update_result, [this](bool ok) { answer = ok; });
        link.choose_unit(QString::fromStdString(serial));
        QObject::connect(&poll, &QTimer::timeout, [this] { link.poll_settings(); });
    }
};

TEST(WindowlessLink, TwoLinksInOneProcessDriveTheirOwnUnitsAtOnceThroughChangesAndUpdates) {
    Workdir work;
    UnitOptions first, second, third;
    first.serial = "VU-0001";
    second.serial = "VU-0002";
    third.serial = "VU-0003";
    first.restart_delay = second.restart_delay = third.restart_delay = 50ms;
    VirtualUnit a(first), b(second), untouched(third);
    ASSERT_TRUE(a.plug());
    ASSERT_TRUE(b.plug());
    ASSERT_TRUE(untouched.plug());

    UiHandover ui;
    UnitLink la(ui, first.serial), lb(ui, second.serial);
    for (UnitLink* l : {&la, &lb}) {
        ASSERT_TRUE(l->link.usb_init()) << l->link.usb_init_error().toStdString();
        ASSERT_TRUE(l->link.is_open() && !l->link.in_boot_loader());
        l->poll.start(200);
    }
    ASSERT_TRUE(wait_for([&] { return la.link.gate.valid() && lb.link.gate.valid(); }, hang_guard));
    EXPECT_EQ(to_bytes(la.link.par.get()), a.settings());
    EXPECT_EQ(to_bytes(lb.link.par.get()), b.settings());

    // A change on each, both in flight together; quick changes of one link go out as one write.
    la.link.par.edit([](Tpar& p) { p.headroom = 20; });
    la.link.save();
    lb.link.par.edit([](Tpar& p) { p.headroom = 7; });
    lb.link.save();
    lb.link.par.edit([](Tpar& p) { p.db0 = -12; });
    lb.link.save();
    ASSERT_TRUE(
        wait_for([&] { return a.settings()[13] == 20 && b.settings()[13] == 7 && b.settings()[12] == 244; },
                 hang_guard));
    EXPECT_EQ(untouched.command_count(), 0u); // the unit no link chose heard nothing

    // Both into the boot loader, then both updates under way at once: B's blocks are posted and sent
    // by its worker while A's routine waits for each of its own.
    la.link.mailbox.post(Request{cmd_upd_poll, {}});
    lb.link.mailbox.post(Request{cmd_upd_poll, {}});
    ASSERT_TRUE(wait_for([&] { return la.link.in_boot_loader() && lb.link.in_boot_loader(); }, hang_guard));
    const auto write = [&](const char* name, uint8_t fill) {
        const auto bytes = make_update_file({"RV-390PKTA", 1, 4, std::vector<uint8_t>(700, fill), {1, 2, 3}});
        QFile file(work.dir.filePath(QString::fromLatin1(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        return file.fileName();
    };
    const UpdateResult posted = run_update(
        write("b.voku", 0xB5), QStringLiteral("RV-390PKTA(boot)"), {},
        [&](const Request& r) {
            lb.link.mailbox.post(r);
            return true;
        },
        post_holding_for_answer(lb.link));
    std::vector<int> progress;
    const UpdateResult waited = run_update(
        write("a.voku", 0x5A), QStringLiteral("RV-390PKTA(boot)"),
        {nullptr, [&](int p) { progress.push_back(p); }, nullptr},
        [&](const Request& r) { return la.link.mailbox.send_and_wait(r); }, post_holding_for_answer(la.link));
    EXPECT_EQ(posted.outcome, UpdateOutcome::sent);
    EXPECT_EQ(waited.outcome, UpdateOutcome::sent);
    EXPECT_EQ(progress.back(), 100);
    ASSERT_TRUE(wait_for([&] { return la.answer.has_value() && lb.answer.has_value(); }, hang_guard));
    EXPECT_TRUE(*la.answer && *lb.answer);
    EXPECT_EQ(a.flash()[699], 0x5A);
    EXPECT_EQ(b.flash()[699], 0xB5);
    EXPECT_EQ(untouched.command_count(), 0u);
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
