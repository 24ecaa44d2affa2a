// The configuration file: the extension rule, the 17 bytes, loading short and long files, and failures.
#include "core/mailbox.h"
#include "protocol/commands.h"
#include "tests/support/boxes.h"
#include "tests/support/worker.h"
#include "ui/config_file.h"
#include "ui/selector_button.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

using ConfigFile = LinkTest;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

Tpar block(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> b(bytes);
    return from_bytes(std::span<const uint8_t, 17>(b.data(), 17));
}

QByteArray raw(const Tpar& p) {
    const auto b = to_bytes(p);
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

QByteArray file_bytes(const QString& name) {
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void write_file(const QString& name, const QByteArray& bytes) {
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

const Tpar example = block({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xF3, 0xE8, 20, 1, 1, 1});

// The main window with its poll stopped, the settings gate open as after a unit's first reply, and the
// file dialogs answered by the test.
struct Window {
    Link& link;
    Tfu update{link};
    Tfmain w{link, &update};
    QString answer; // the name the dialog returns; empty = cancelled
    struct Asked {
        QString caption, initial, filter;
    };
    std::vector<Asked> asked;
    explicit Window(Link& l) : link(l) {
        w.tmr.stop();
        link.gate.unit_opened(false);
        link.gate.reply_arrived();
        link.gate.refreshed();
        const auto dialog = [this](QWidget* parent, const QString& caption, const QString& initial,
                                   const QString& filter) {
            EXPECT_EQ(parent, &w);
            asked.push_back({caption, initial, filter});
            return answer;
        };
        w.fsave = dialog;
        w.open = dialog;
    }
};

// What the worker would send now, in posting order, with the block each write carries. Stopping the
// mailbox is for good, so this runs once per link.
std::vector<std::pair<uint8_t, QByteArray>> sent(Link& link) {
    constexpr uint8_t end_mark = 0x7F;
    link.mailbox.post(Request{end_mark, {}});
    std::vector<std::pair<uint8_t, QByteArray>> seen;
    std::thread worker([&] {
        link.mailbox.serve([&](const Request& r) {
            if (r.cmd == end_mark)
                link.mailbox.stop();
            else
                seen.emplace_back(r.cmd, r.edit != 0
                                             ? QByteArray(reinterpret_cast<const char*>(r.data.data()),
                                                          static_cast<qsizetype>(r.data.size()))
                                             : QByteArray());
            return true;
        });
    });
    worker.join();
    return seen;
}

} // namespace

TEST_F(ConfigFile, TheExtensionCountsOnlyWhenTheFileNameEndsInLowerCaseCfg) {
    using config_file::with_extension;
    EXPECT_EQ(with_extension("/home/op/x"), "/home/op/x.cfg");
    EXPECT_EQ(with_extension("/home/op/x.cfg"), "/home/op/x.cfg");
    EXPECT_EQ(with_extension("/home/op/x.CFG"), "/home/op/x.CFG.cfg");
    EXPECT_EQ(with_extension("/home/op/x.Cfg"), "/home/op/x.Cfg.cfg");
    EXPECT_EQ(with_extension("/home/op/x.txt"), "/home/op/x.txt.cfg");
    EXPECT_EQ(with_extension("/home/op/x.cfg.bak"), "/home/op/x.cfg.bak.cfg");
    EXPECT_EQ(with_extension("/home/op/x."), "/home/op/x..cfg");
    EXPECT_EQ(with_extension("/home/my.cfg/x"), "/home/my.cfg/x.cfg"); // a dot in a folder is no extension
    EXPECT_EQ(with_extension("/home/op.d/x"), "/home/op.d/x.cfg");
    EXPECT_EQ(with_extension("x"), "x.cfg");
}

TEST_F(ConfigFile, HoldsExactlyTheSeventeenBytesOfTheBlockAndReplacesAnOlderFileWhole) {
    QTemporaryDir dir;
    const QString name = dir.filePath("unit.cfg");
    write_file(name, QByteArray(100, 'x'));
    QString reason;
    ASSERT_TRUE(config_file::save(name, default_par, reason)) << reason.toStdString();
    EXPECT_EQ(file_bytes(name), QByteArray::fromHex("000001000102030405060700EE0A010200"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"unit.cfg"}); // nothing left behind

    ASSERT_TRUE(config_file::save(name, example, reason));
    EXPECT_EQ(file_bytes(name), raw(example)); // as held, not normalised
}

TEST_F(ConfigFile, LoadingOverlaysAsManyLeadingBytesAsTheFileHasAndNoMore) {
    QTemporaryDir dir;
    struct Case {
        const char* name;
        QByteArray content;
        QByteArray expected;
    };
    const QByteArray ten = QByteArray::fromHex("FFFEFDFCFBFAF9F8F7F6");
    const QByteArray twenty = QByteArray::fromHex("0102030405060708090A0B0C0D0E0F1011121314");
    for (const Case& c : {Case{"ten.cfg", ten, ten + raw(example).mid(10)},
                          Case{"empty.cfg", {}, raw(example)}, Case{"twenty.cfg", twenty, twenty.left(17)}}) {
        const QString name = dir.filePath(c.name);
        write_file(name, c.content);
        QByteArray head;
        QString reason;
        ASSERT_TRUE(config_file::read_head(name, head, reason)) << c.name << reason.toStdString();
        Tpar p = example;
        config_file::overlay(p, head);
        EXPECT_EQ(raw(p), c.expected) << c.name;
    }
}

TEST_F(ConfigFile, SavingFromTheMenuAppendsTheExtensionAndOffersTheNameNextTime) {
    QTemporaryDir dir;
    Window s(link);
    link.par.set(example);
    s.answer = dir.filePath("studio.CFG");
    s.w.EXP->trigger();
    const QString saved = dir.filePath("studio.CFG.cfg");
    EXPECT_EQ(file_bytes(saved), raw(example));
    EXPECT_FALSE(QFile::exists(dir.filePath("studio.CFG")));

    s.answer.clear(); // cancelled
    link.par.set(default_par);
    s.w.EXPClick();
    EXPECT_EQ(file_bytes(saved), raw(example));

    ASSERT_EQ(s.asked.size(), 2u);
    EXPECT_TRUE(s.asked[0].initial.endsWith("/config.cfg")) << s.asked[0].initial.toStdString();
    EXPECT_EQ(s.asked[0].filter, "Config File (*.cfg)");
    EXPECT_EQ(s.asked[0].caption, "Сохранить конфигурацию в файл");
    EXPECT_EQ(s.asked[1].initial, saved);
    EXPECT_FALSE(link.mailbox.pending()); // saving sends nothing (the test's own link starts empty)
}

TEST_F(ConfigFile, LoadingFromTheMenuChangesTheFilesBytesOnlyClearsTheFocusAndSendsTheWholeBlock) {
    QTemporaryDir dir;
    Window s(link);
    s.w.Cont(true);
    link.par.set(example);
    s.w.refresh();
    s.w.group1->setFocus();
    const QByteArray ten = QByteArray::fromHex("03000103030303030303");
    s.answer = dir.filePath("short.cfg");
    write_file(s.answer, ten);
    s.w.IMP->trigger();
    const QByteArray expected = ten + raw(example).mid(10);
    EXPECT_EQ(raw(link.par.get()), expected);
    EXPECT_EQ(s.w.focusWidget(), nullptr);
    EXPECT_EQ(s.w.group0->currentText(), "Group 3"); // not shown until the unit reports back
    EXPECT_EQ(s.w.but1->isEnabled(), true);
    ASSERT_EQ(s.asked.size(), 1u);
    EXPECT_EQ(s.asked[0].caption, "Загрузить конфигурацию из файла");
    EXPECT_TRUE(s.asked[0].initial.endsWith("/config.cfg")) << s.asked[0].initial.toStdString();
    EXPECT_EQ(s.asked[0].filter, "Config File (*.cfg)");

    const auto requests = sent(link);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].first, cmd_set_par);
    EXPECT_EQ(requests[0].second, expected);
}

TEST_F(ConfigFile, AnEmptyFileChangesNothingButStillSendsTheBlockAndTheNameIsOfferedNextTime) {
    QTemporaryDir dir;
    Window s(link);
    link.par.set(example);
    s.answer = dir.filePath("empty");
    write_file(s.answer, {});
    s.w.IMPClick();
    EXPECT_EQ(raw(link.par.get()), raw(example));
    EXPECT_TRUE(link.mailbox.pending());
    s.answer.clear();
    s.w.IMPClick();
    ASSERT_EQ(s.asked.size(), 2u);
    EXPECT_EQ(s.asked[1].initial, dir.filePath("empty"));
}

TEST_F(ConfigFile, AFileThatCannotBeReadOrWrittenIsNamedWithTheReasonAndNothingChanges) {
    QTemporaryDir dir;
    Window s(link);
    link.par.set(example);
    std::vector<QString> reasons;
    BoxAnswerer answer(QMessageBox::Ok, [&](QMessageBox* box) { reasons.push_back(box->informativeText()); });

    const QString missing = dir.filePath("missing.cfg");
    s.answer = missing;
    s.w.IMPClick();
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_TRUE(answer.seen[0].text.contains(QDir::toNativeSeparators(missing)))
        << answer.seen[0].text.toStdString();
    EXPECT_EQ(answer.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answer.seen[0].parent, &s.w);
    EXPECT_EQ(reasons[0], "файл или папка не существует");
    EXPECT_EQ(raw(link.par.get()), raw(example));

    const QString folder = dir.filePath("a folder");
    ASSERT_TRUE(QDir().mkdir(folder));
    s.answer = folder;
    s.w.IMPClick();
    ASSERT_EQ(answer.seen.size(), 2u);
    EXPECT_TRUE(answer.seen[1].text.contains(folder));
    EXPECT_FALSE(reasons[1].isEmpty());
    EXPECT_EQ(raw(link.par.get()), raw(example));

    // Even root cannot create a file in a folder that has been removed.
    QTemporaryDir gone;
    const QString lost = gone.filePath("x");
    ASSERT_TRUE(gone.remove());
    s.answer = lost;
    s.w.EXPClick();
    ASSERT_EQ(answer.seen.size(), 3u);
    EXPECT_TRUE(answer.seen[2].text.contains(lost + ".cfg")) << answer.seen[2].text.toStdString();
    EXPECT_FALSE(reasons[2].isEmpty());
    EXPECT_FALSE(QFile::exists(lost + ".cfg"));
    EXPECT_FALSE(link.mailbox.pending());
}
