// The main window against the virtual unit: what the operator sees and what reaches the unit.
#include "protocol/commands.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "tests/support/worker.h"
#include "ui/selector_button.h"
#include "ui/settings.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

using MainWindowWithTwoUnits = LinkTest;

namespace {

using namespace std::chrono_literals;

TparBytes block(std::initializer_list<uint8_t> b) {
    TparBytes t{};
    std::copy(b.begin(), b.end(), t.begin());
    return t;
}

const TparBytes unit_block = block({2, 0, 1, 4, 5, 6, 7, 8, 9, 16, 19, 0xFA, 0xF0, 12, 1, 1, 1});

bool green(const SelectorButton* b) {
    return b->scheme() == SelectorButton::Scheme::green;
}

std::size_t count(const VirtualUnit& unit, uint8_t code) {
    std::size_t n = 0;
    for (const auto& c : unit.commands())
        n += c.code == code;
    return n;
}

class MainWindowWithUnit : public LinkTest {
protected:
    void start(UnitMode mode = UnitMode::normal) {
        UnitOptions o;
        o.mode = mode;
        o.settings = unit_block;
        o.restart_delay = 50ms;
        unit = std::make_unique<VirtualUnit>(o);
        ASSERT_TRUE(unit->plug()) << unit->error();
        main.show();
        ASSERT_TRUE(main.link_init());
    }
    bool enabled() const { return main.src0->isEnabled() && main.db0->isEnabled() && main.but0->isEnabled(); }
    Tfu update{link};
    Tfmain main{link, &update};
    std::unique_ptr<VirtualUnit> unit;
};

} // namespace

TEST_F(MainWindowWithUnit, ComesOnWithTheUnitsFirstReplyAndShowsItsBlockInEveryControl) {
    start();
    EXPECT_FALSE(enabled());
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    // With one unit there is nothing to choose: no list, and the caption as it always was.
    EXPECT_FALSE(main.findChild<QComboBox*>(QStringLiteral("unit_list"))->isVisible());
    EXPECT_EQ(main.windowTitle(), QStringLiteral("RV-390PKTA"));
    EXPECT_EQ(main.group0->currentIndex(), 0);
    EXPECT_EQ(main.group1->currentIndex(), 1);
    EXPECT_EQ(main.src0->currentIndex(), 4);
    EXPECT_EQ(main.src6->currentIndex(), 16);
    EXPECT_EQ(main.src7->currentIndex(), 19);
    EXPECT_EQ(main.xlr_gain->read(), -6);
    EXPECT_EQ(main.db0->read(), -16);
    EXPECT_EQ(main.headroom->read(), 12);
    EXPECT_EQ(main.scale->currentIndex(), 1);
    EXPECT_EQ(main.ind->currentIndex(), 1);
    EXPECT_EQ(main.agr->currentIndex(), 1);
    EXPECT_TRUE(green(main.but2));
    EXPECT_FALSE(green(main.but0));
    EXPECT_EQ(count(*unit, cmd_set_par), 0u); // showing the unit's block writes nothing back
}

TEST_F(MainWindowWithUnit, AnOperatorChangeSendsTheWholeBlockAndTheUnitKeepsIt) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    main.src3->setCurrentIndex(17);
    emit main.src3->activated(17); // as when the operator picks "ANALOG_R"
    TparBytes expected = unit_block;
    expected[6] = 17;
    ASSERT_TRUE(wait_for([&] { return unit->settings() == expected; }));
    EXPECT_EQ(count(*unit, cmd_set_par), 1u);
}

TEST_F(MainWindowWithUnit, ASelectorButtonTurnsGreenOnlyWithTheUnitsNextReply) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    main.but0->click();
    EXPECT_FALSE(green(main.but0)); // not yet: the unit has not answered
    ASSERT_TRUE(wait_for([&] { return green(main.but0); }));
    EXPECT_EQ(unit->settings()[0], 0);
    EXPECT_FALSE(green(main.but2));
}

TEST_F(MainWindowWithUnit, TheFocusedSpinBoxKeepsWhatTheOperatorSeesWhileTheOthersFollowTheUnit) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    main.activateWindow();
    main.db0->setFocus();
    ASSERT_TRUE(wait_for([&] { return main.db0->hasFocus(); }));
    TparBytes changed = unit_block;
    changed[12] = static_cast<uint8_t>(-30); // db0
    changed[13] = 20;                        // headroom
    unit->set_settings(changed);
    ASSERT_TRUE(wait_for([&] { return main.headroom->read() == 20; }));
    EXPECT_EQ(main.db0->read(), -16);
}

TEST_F(MainWindowWithUnit, GroupsChangedByTheUnitShowInTheSelectorsOnly) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    TparBytes changed = unit_block;
    changed[1] = 2;
    changed[2] = 3;
    unit->set_settings(changed);
    ASSERT_TRUE(
        wait_for([&] { return main.group0->currentIndex() == 2 && main.group1->currentIndex() == 3; }));
    EXPECT_EQ(main.src0->itemText(0), "SDI 1");
    EXPECT_EQ(main.csrc0->text(), "Источник для SDI#1");
}

TEST_F(MainWindowWithUnit, ResetToDefaultsWritesTheDefaultBlockOnlyWhenConfirmed) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    {
        BoxAnswerer cancel(QMessageBox::Cancel);
        main.DEFClick();
    }
    EXPECT_EQ(count(*unit, cmd_set_par), 0u);
    BoxAnswerer ok(QMessageBox::Ok);
    main.DEFClick();
    ASSERT_TRUE(wait_for([&] { return unit->settings() == to_bytes(default_par); }));
}

TEST_F(MainWindowWithUnit, AUnitInItsBootLoaderKeepsTheControlsOffAndIsNotPolled) {
    start(UnitMode::boot);
    EXPECT_TRUE(link.boot_mode);
    ASSERT_TRUE(wait_for_ticks(link, main.tmr, main.tmr.ticks() + 3));
    EXPECT_FALSE(enabled());
    EXPECT_EQ(count(*unit, cmd_get_par), 0u);
}

TEST_F(MainWindowWithUnit, TheUpdateWindowSendsTheUnitIntoItsBootLoaderAndDiscoveryFollowsIt) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    bool select_came_on = false;
    QString status;
    QTimer::singleShot(0, [&] {
        // Inside the modal update window: its poll restarts the unit, whose return is discovered.
        select_came_on = wait_for([&] { return update.select->isEnabled(); }, 10000);
        EXPECT_EQ(update.dev_name->text(), "RV-390PKTA(boot)");
        status = main.statusBar()->currentMessage();
        update.cancel->click();
    });
    main.UPDClick();
    EXPECT_TRUE(select_came_on);
    // The main window does not send the operator to the window that is already open.
    EXPECT_TRUE(status.startsWith(QStringLiteral("Идёт обновление ПО"))) << status.toStdString();
    // "Закрыть" sends the unit back to its firmware; discovery after the window finds it again.
    ASSERT_TRUE(wait_for([&] { return update.dev_name->text() == "RV-390PKTA" && !link.boot_mode; }, 10000));
    EXPECT_TRUE(wait_for([&] { return enabled(); }));
}

TEST_F(MainWindowWithUnit, AFirmwareUpdateFromTheMenuEndsWithTheUnitBackInItsFirmware) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    update.choose_file = [] { return QStringLiteral(SAMPLE_UPDATE_FILE); };
    BoxAnswerer answer(QMessageBox::Ok);
    QTimer::singleShot(0, [&] {
        // In the modal update window: wait for the boot loader, then update from the sample file.
        if (wait_for([&] { return update.select->isEnabled(); }, 10000))
            update.select->click();
    });
    main.UPDClick(); // returns when the window has closed itself after the unit's answer
    ASSERT_FALSE(answer.seen.empty());
    EXPECT_EQ(answer.seen[0].text, "Обновление завершено успешно!");
    EXPECT_EQ(unit->last_update(), std::optional<bool>(true));
    ASSERT_TRUE(wait_for([&] { return update.dev_name->text() == "RV-390PKTA" && !link.boot_mode; }, 10000));
    EXPECT_TRUE(wait_for([&] { return enabled(); }));
    EXPECT_EQ(update.dev_version->text(), "1.4") << "the firmware the sample brings";

    // A file whose header names another version than its firmware: the operator is told, once back.
    std::vector<uint8_t> flash(600, 0x33);
    name_firmware_version(flash, 1, 4);
    const auto bytes = make_update_file({"RV-390PKTA", 1, 5, flash, {}});
    QTemporaryDir dir;
    const QString other = dir.filePath(QStringLiteral("other.voku"));
    QFile file(other);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    file.close();
    update.choose_file = [&] { return other; };
    QTimer::singleShot(0, [&] {
        if (wait_for([&] { return update.select->isEnabled(); }, 10000))
            update.select->click();
    });
    main.UPDClick();
    ASSERT_TRUE(wait_for([&] { return answer.seen.size() >= 3; }, 10000));
    EXPECT_EQ(answer.seen[2].icon, QMessageBox::Warning);
    EXPECT_EQ(answer.seen[2].text,
              "После обновления блок сообщает версию ПО 1.4, а в файле обновления указана "
              "версия 1.5.");
}

TEST_F(MainWindowWithUnit, TellsWhenTheUnitStopsAnsweringOrIsNotUnderstoodAndClearsItAfterwards) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    const auto status = [&] { return main.statusBar()->currentMessage(); };
    const struct {
        void (*fault)(UnitFaults&);
        const char* says;
    } cases[] = {
        {[](UnitFaults& f) { f.corrupt_crc = true; }, "Ответы блока не распознаются"},
        {[](UnitFaults& f) { f.drop_every = 1; }, "Блок не отвечает"},
    };
    for (const auto& c : cases) {
        UnitFaults f;
        c.fault(f);
        unit->set_faults(f);
        ASSERT_TRUE(wait_for([&] { return status().startsWith(QString::fromUtf8(c.says)); }, 15000))
            << c.says;
        unit->set_faults({});
        ASSERT_TRUE(wait_for([&] { return status().isEmpty(); }, 15000)) << c.says;
    }
}

TEST_F(MainWindowWithUnit, AChangeThatCannotBeSentIsToldAndSentOnceTheLinkIsBack) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    const auto told = [&] {
        return main.statusBar()->currentMessage().contains(QStringLiteral("не передано"));
    };
    UnitFaults slow;
    slow.report_delay = 1200ms; // past the library's limit for an answer: every send fails
    unit->set_faults(slow);
    main.but3->click();
    ASSERT_TRUE(wait_for(told, 15000));
    unit->set_faults({});
    // Replies of polls that went through meanwhile did not undo the change on the way. The line is
    // cleared when the write has gone through; the button shows the block once the unit's answer is in.
    ASSERT_TRUE(wait_for([&] { return unit->settings()[0] == 3 && !told() && green(main.but3); }, 15000));
}

TEST_F(MainWindowWithUnit, AnUpdateSavesTheSettingsFirstAndOffersThemBackWhenTheFirmwareLostThem) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    update.choose_file = [] { return QStringLiteral(SAMPLE_UPDATE_FILE); };
    // The success box is kept open until the unit is back with its new block: the restore question (which
    // gets its default, "Да") waits for it to close.
    bool success_open = false, asked_over_success = false;
    BoxAnswerer answer(QMessageBox::Ok, [&](QMessageBox* box) {
        asked_over_success |= success_open;
        success_open = box->text() == QStringLiteral("Обновление завершено успешно!");
        if (success_open) {
            EXPECT_TRUE(
                wait_for([&] { return link.dev_open && !link.boot_mode && link.gate.valid(); }, 10000));
        }
        success_open = false;
    });
    QString line;
    QTimer::singleShot(0, [&] {
        if (!wait_for([&] { return update.select->isEnabled(); }, 10000))
            return;
        unit->set_settings(to_bytes(default_par)); // the new firmware starts from its defaults
        update.select->click();
        line = update.backup_line->toolTip();
        // Whole on screen, and whole for a screen reader.
        const QTextEdit* shown = update.backup_line;
        EXPECT_TRUE(
            wait_for([&] { return shown->document()->size().height() <= shown->viewport()->height(); }));
        EXPECT_EQ(shown->accessibleDescription(), line);
    });
    main.UPDClick();
    const QString prefix = QStringLiteral("Настройки сохранены: ");
    ASSERT_TRUE(line.startsWith(prefix)) << line.toStdString();
    QFile saved(line.mid(prefix.size()));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QByteArray bytes = saved.readAll();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
              std::vector<uint8_t>(unit_block.begin(), unit_block.end()));
    EXPECT_TRUE(QFileInfo(saved).fileName().startsWith(QStringLiteral("VU-0001-")));
    // Back in its firmware with the defaults, the unit gets the saved block once the operator agrees.
    ASSERT_TRUE(wait_for([&] { return unit->settings() == unit_block; }, 10000));
    EXPECT_TRUE(std::any_of(answer.seen.begin(), answer.seen.end(), [](const auto& s) {
        return s.text == QStringLiteral("Восстановить настройки, сохранённые перед обновлением?");
    }));
    EXPECT_FALSE(asked_over_success);
}

TEST_F(MainWindowWithUnit, ARefusedLevelSaysWhatTheUnitAnsweredToTheDigitsTypedBeforeIt) {
    start();
    ASSERT_TRUE(wait_for([&] { return enabled(); }));
    main.activateWindow();
    main.xlr_gain->setFocus();
    ASSERT_TRUE(wait_for([&] { return main.xlr_gain->hasFocus(); }));
    // "2" and "20" are written, "200" is refused; the unit keeps its limit, 16, for 20.
    bool said = false;
    BoxAnswerer answer(QMessageBox::Ok, [&](QMessageBox* box) {
        said =
            wait_for([&] { return box->informativeText().contains(QStringLiteral("Сейчас в блоке: 16.")); });
    });
    main.xlr_gain->selectAll();
    QTest::keyClicks(main.xlr_gain, "200");
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty() && !QApplication::activeModalWidget(); }));
    EXPECT_TRUE(said);
    EXPECT_EQ(main.xlr_gain->value(), 16);
}

TEST_F(MainWindowWithTwoUnits, TheUpdateWindowKeepsToItsUnitAndAnotherUnitTakenLaterIsSaid) {
    UnitOptions a, b;
    a.serial = "VU-0001", b.serial = "VU-0002";
    a.restart_delay = 500ms; // long enough for update polls to find the other unit open
    VirtualUnit first(a), second(b);
    ASSERT_TRUE(first.plug() && second.plug());
    Tfu update(link);
    Tfmain main(link, &update);
    main.show();
    ASSERT_TRUE(main.link_init());
    const auto open_is = [&](const char* serial, bool boot) {
        return link.dev_open && link.boot_mode == boot && update.dev_serial->text() == serial;
    };
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(wait_for([&] { return open_is("VU-0001", true); }, 10000));
        first.unplug(); // during the update: no unit rather than the other one
        EXPECT_TRUE(wait_for([&] { return update.dev_serial->text().isEmpty(); }));
        EXPECT_TRUE(first.plug());
        EXPECT_TRUE(wait_for([&] { return open_is("VU-0001", true); }));
        QTest::keyClick(&update, Qt::Key_Escape);
    });
    main.UPDClick();
    EXPECT_EQ(count(second, cmd_upd_poll), 0u);
    ASSERT_TRUE(wait_for([&] { return open_is("VU-0001", false); }, 10000));
    first.unplug();
    ASSERT_TRUE(wait_for([&] { return open_is("VU-0002", false); }));
    EXPECT_EQ(main.statusBar()->currentMessage(),
              QStringLiteral("Открыт другой блок: серийный номер VU-0002 (был VU-0001)"));
}

TEST_F(MainWindowWithTwoUnits, TheOperatorPicksTheSecondUnitByKeyboardAndTheNextStartTakesItAgain) {
    UnitOptions a, b;
    a.serial = "VU-0001", b.serial = "VU-0002";
    a.settings = b.settings = unit_block;
    b.settings[13] = 21; // the second unit's headroom tells which one is shown
    VirtualUnit first(a), second(b);
    ASSERT_TRUE(first.plug() && second.plug());
    const auto shows = [](Tfmain& w, const char* serial, int headroom) {
        return w.headroom->isEnabled() && w.headroom->value() == headroom &&
               w.windowTitle() == QStringLiteral("RV-390PKTA — %1").arg(QLatin1String(serial));
    };
    {
        Tfu update(link);
        Tfmain main(link, &update);
        main.show();
        ASSERT_TRUE(main.link_init());
        auto* list = main.findChild<QComboBox*>(QStringLiteral("unit_list"));
        ASSERT_TRUE(wait_for([&] { return shows(main, "VU-0001", 12); })) << main.windowTitle().toStdString();
        ASSERT_TRUE(list->isVisible());
        EXPECT_EQ(list->count(), 2);
        EXPECT_EQ(list->itemText(1), QStringLiteral("VU-0002 (ПО 1.3)"));
        EXPECT_EQ(list->accessibleName(), QStringLiteral("Блок:"));
        const QList<QLabel*> labels = main.findChildren<QLabel*>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->buddy() == list; }));
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        ASSERT_TRUE(wait_for([&] { return shows(main, "VU-0002", 21); })) << main.windowTitle().toStdString();
        EXPECT_EQ(update.dev_serial->text(), QStringLiteral("VU-0002"));
    }
    // The next start, on a link of its own, takes the unit chosen last.
    UiHandover ui2;
    Link again(ui2);
    Tfu update(again);
    Tfmain main(again, &update);
    main.show();
    ASSERT_TRUE(main.link_init());
    EXPECT_TRUE(wait_for([&] { return shows(main, "VU-0002", 21); })) << main.windowTitle().toStdString();
}
