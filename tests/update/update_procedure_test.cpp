// The firmware update from the update window, against the virtual unit in its boot loader.
#include "core/mailbox.h"
#include "protocol/commands.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "tests/support/worker.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 13);
    return v;
}

QString write_update(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom,
                     const std::string& name = "RV-390PKTA", const QString& file = "update.voku") {
    const auto bytes = make_update_file({name, 1, 4, flash, eeprom});
    QFile f(file);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return file;
}

std::vector<ReceivedCommand> of(const VirtualUnit& unit, uint8_t code) {
    std::vector<ReceivedCommand> r;
    for (const auto& c : unit.commands())
        if (c.code == code)
            r.push_back(c);
    return r;
}

uint16_t address_of(const ReceivedCommand& c) {
    return static_cast<uint16_t>(c.payload[0] << 8 | c.payload[1]);
}

// A unit in its boot loader, found by the utility, with the update window shown.
class Update : public LinkTest {
protected:
    void SetUp() override {
        UnitOptions o;
        o.mode = UnitMode::boot;
        o.restart_delay = 50ms;
        unit = std::make_unique<VirtualUnit>(o);
        ASSERT_TRUE(unit->plug()) << unit->error();
        ASSERT_TRUE(main.link_init());
        ASSERT_TRUE(link.boot_mode);
        ASSERT_TRUE(wait_for_worker(link)); // else the first block's send fails and nothing is written
        ASSERT_TRUE(update.select->isEnabled());
        update.show();
        QObject::connect(update.pb, &QProgressBar::valueChanged, [this](int v) { progress.push_back(v); });
    }
    // Runs the procedure with `file` chosen; answers every box with OK.
    void run(const QString& file) {
        update.choose_file = [file] { return file; };
        update.select->click();
    }

    Tfu update{link};
    Tfmain main{link, &update};
    std::unique_ptr<VirtualUnit> unit;
    std::vector<int> progress;
};

} // namespace

TEST_F(Update, WritesFlashAndEepromBlockByBlockThenTheUnitReportsSuccessAndTheWindowCloses) {
    const auto flash = pattern(2560 + 100, 1);
    const auto eeprom = pattern(300, 7);
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update(flash, eeprom));
    EXPECT_EQ(update.pb->maximum(), 0); // marquee while the unit finishes
    EXPECT_TRUE(update.upd_busy);
    EXPECT_FALSE(update.select->isEnabled());

    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }));
    EXPECT_EQ(answer.seen[0].text, "Обновление завершено успешно!");
    EXPECT_EQ(answer.seen[0].parent, &update);
    ASSERT_TRUE(wait_for([&] { return !update.isVisible(); })); // closed about 100 ms after the box

    // The bytes landed, padding included, each image from address 0.
    const auto landed = unit->flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), landed.begin()));
    EXPECT_TRUE(std::all_of(landed.begin() + static_cast<long>(flash.size()), landed.begin() + 3072,
                            [](uint8_t b) { return b == 0xFF; }));
    const auto eep = unit->eeprom();
    EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), eep.begin()));
    EXPECT_EQ(eep[300], 0xFF);
    EXPECT_EQ(unit->last_update(), std::optional<bool>(true));

    // An erase before every flash block, none before EEPROM blocks; then cmd_finish.
    const auto erases = of(*unit, cmd_erase);
    const auto writes = of(*unit, cmd_write_flash);
    ASSERT_EQ(writes.size(), 6u);
    ASSERT_EQ(erases.size(), 6u);
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(address_of(writes[i]), i * 512);
        EXPECT_EQ(address_of(erases[i]), i * 512);
        EXPECT_EQ(writes[i].payload.size(), 516u);
    }
    ASSERT_EQ(of(*unit, cmd_write_eep).size(), 1u);
    EXPECT_EQ(address_of(of(*unit, cmd_write_eep)[0]), 0);
    EXPECT_EQ(of(*unit, cmd_finish).size(), 1u);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(Update, ProgressCountsImageBytesRoundedToTheNearestAndEndsAtAHundred) {
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update(pattern(600, 1), pattern(400, 2)));
    EXPECT_EQ(progress, (std::vector<int>{51, 60, 100}));
}

TEST_F(Update, OneFlashByteIsOneErasedAndPaddedBlock) {
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update({0x5A}, {}));
    ASSERT_EQ(of(*unit, cmd_erase).size(), 1u);
    const auto writes = of(*unit, cmd_write_flash);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].payload[4], 0x5A);
    EXPECT_TRUE(std::all_of(writes[0].payload.begin() + 5, writes[0].payload.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(progress.back(), 100);
    ASSERT_TRUE(unit->wait_for_commands(3, 5s)); // erase, write, finish
    EXPECT_EQ(of(*unit, cmd_finish).size(), 1u);
}

TEST_F(Update, ExactlyOneBlockIsOneBlockAndOneByteMoreIsTwoEachAfterItsErase) {
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update(pattern(512, 1), {}));
    EXPECT_EQ(of(*unit, cmd_write_flash).size(), 1u);
    EXPECT_EQ(of(*unit, cmd_erase).size(), 1u);
    ASSERT_TRUE(wait_for([&] { return !update.isVisible(); }));

    // The unit is back in its firmware; send it to the boot loader again for the second file. Only its
    // restart count tells that both restarts are over (the flags may still show the first boot loader).
    ASSERT_TRUE(unit->wait_for_restarts(1, 5s));
    unit->restart(UnitMode::boot);
    ASSERT_TRUE(unit->wait_for_restarts(2, 5s));
    ASSERT_TRUE(
        wait_for([&] { return link.dev_open && link.boot_mode && update.select->isEnabled(); }, 10000));
    const std::size_t before = unit->command_count();
    update.show();
    run(write_update(pattern(513, 2), {}));
    const auto all = unit->commands();
    const std::vector<ReceivedCommand> after(all.begin() + static_cast<long>(before), all.end());
    std::vector<std::pair<uint8_t, uint16_t>> sequence;
    for (const auto& c : after)
        if (c.code == cmd_erase || c.code == cmd_write_flash)
            sequence.emplace_back(c.code, address_of(c));
    EXPECT_EQ(sequence, (std::vector<std::pair<uint8_t, uint16_t>>{
                            {cmd_erase, 0}, {cmd_write_flash, 0}, {cmd_erase, 512}, {cmd_write_flash, 512}}));
    const auto second = after.back().code == cmd_finish ? after[after.size() - 2] : after.back();
    EXPECT_EQ(second.payload[4], pattern(513, 2)[512]);
    EXPECT_TRUE(
        std::all_of(second.payload.begin() + 5, second.payload.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(Update, EmptyImagesSendOnlyTheFinish) {
    // One record of a type that is neither flash nor EEPROM: both images stay empty.
    QByteArray file("\x00\x1E"
                    "NAME=RV-390PKTA&VERSION=1.4",
                    29);
    file.append('\0');
    file.append(QByteArray("\x00\x01\x00\x00\x00\x00\x05\x42\x00\x00", 10));
    QFile f("empty.voku");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(file);
    f.close();
    BoxAnswerer answer(QMessageBox::Ok);
    run("empty.voku");
    ASSERT_TRUE(unit->wait_for_commands(1, 5s));
    EXPECT_EQ(unit->commands().front().code, cmd_finish);
    EXPECT_TRUE(progress.empty());
}

TEST_F(Update, AnUnplugInTheMiddleFailsTheUpdate) {
    UnitFaults f;
    f.unplug_after_blocks = 2;
    unit->set_faults(f);
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update(pattern(4000, 1), {}));
    ASSERT_FALSE(answer.seen.empty());
    EXPECT_EQ(answer.seen[0].text, "Ошибка обновления. Повторите попытку.");
    EXPECT_TRUE(of(*unit, cmd_finish).empty());
    EXPECT_FALSE(update.upd_busy);
}

TEST_F(Update, AnEepromOnlyFileSendsNoFlashBlockAndNoErase) {
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update({}, pattern(513, 3)));
    EXPECT_TRUE(of(*unit, cmd_erase).empty());
    EXPECT_TRUE(of(*unit, cmd_write_flash).empty());
    const auto eep = of(*unit, cmd_write_eep);
    ASSERT_EQ(eep.size(), 2u);
    EXPECT_EQ(address_of(eep[1]), 512);
}

TEST_F(Update, AFileForAnotherModelIsRefusedWithTheBarInItsErrorStateAndNothingSent) {
    bool red_while_open = false;
    BoxAnswerer answer(QMessageBox::Ok,
                       [&](QMessageBox*) { red_while_open = !update.pb->styleSheet().isEmpty(); });
    run(write_update(pattern(100, 1), {}, "RV-999"));
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(answer.seen[0].text, "Неверный файл!");
    EXPECT_EQ(answer.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answer.seen[0].title, "Обновление программного обеспечения");
    EXPECT_TRUE(red_while_open);
    EXPECT_TRUE(update.pb->styleSheet().isEmpty());
    EXPECT_TRUE(update.select->isEnabled());
    EXPECT_TRUE(update.def->isEnabled());
    EXPECT_FALSE(update.upd_busy);
    EXPECT_TRUE(of(*unit, cmd_erase).empty());
}

TEST_F(Update, AFileThatFailsToReadSaysWhatIsWrongSendsNothingAndLetsAnotherFileBeChosenAtOnce) {
    const QString file = write_update(pattern(700, 1), {});
    QFile f(file);
    ASSERT_TRUE(f.resize(f.size() - 100)); // a download cut short
    BoxAnswerer answer(QMessageBox::Ok);
    run(file);
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_TRUE(answer.seen[0].text.contains("update.voku")) << answer.seen[0].text.toStdString();
    EXPECT_TRUE(of(*unit, cmd_erase).empty());
    EXPECT_TRUE(of(*unit, cmd_write_flash).empty());
    EXPECT_TRUE(update.select->isEnabled());
    EXPECT_TRUE(update.def->isEnabled());
    EXPECT_FALSE(update.upd_busy);
}

TEST_F(Update, ACancelledFileChoiceLeavesTheWindowAsItWas) {
    run(QString());
    EXPECT_TRUE(update.select->isEnabled());
    EXPECT_TRUE(update.def->isEnabled());
    EXPECT_FALSE(update.upd_busy);
    EXPECT_TRUE(progress.empty());
}

TEST_F(Update, ARefusedBlockStopsTheUpdateWithoutFinishing) {
    UnitFaults f;
    f.refuse_writes = true;
    unit->set_faults(f);
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update(pattern(1500, 1), pattern(10, 1)));
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(answer.seen[0].text, "Ошибка обновления. Повторите попытку.");
    EXPECT_EQ(of(*unit, cmd_write_flash).size(), 1u); // the rest were not sent
    EXPECT_TRUE(of(*unit, cmd_finish).empty());
    EXPECT_TRUE(update.select->isEnabled());
    EXPECT_FALSE(update.upd_busy);

    // A new attempt starts again from the first block.
    unit->set_faults({});
    const std::size_t before = of(*unit, cmd_write_flash).size();
    run(write_update(pattern(1500, 1), pattern(10, 1)));
    const auto writes = of(*unit, cmd_write_flash);
    ASSERT_GT(writes.size(), before);
    EXPECT_EQ(address_of(writes[before]), 0);
}

TEST_F(Update, AFailedUpdateReportedByTheUnitIsShownAndTheWindowClosesAllTheSame) {
    UnitFaults f;
    f.fail_update = true;
    unit->set_faults(f);
    BoxAnswerer answer(QMessageBox::Ok);
    run(write_update(pattern(10, 1), {}));
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }));
    EXPECT_EQ(answer.seen[0].text, "Ошибка в процессе обновления!\r\nПовторите попытку");
    EXPECT_TRUE(wait_for([&] { return !update.isVisible(); }));
}

TEST_F(Update, CloseDuringTheMarqueeAsksTheUnitToLeaveAndClosesAtOnce) {
    UnitFaults f;
    f.silent_finish = true;
    unit->set_faults(f);
    run(write_update(pattern(10, 1), {}));
    EXPECT_EQ(update.pb->maximum(), 0);
    update.cancel->click();
    EXPECT_FALSE(update.isVisible());
    EXPECT_FALSE(update.upd_busy);
    ASSERT_TRUE(wait_for([&] { return !of(*unit, cmd_upd_close).empty(); }));

    update.show(); // shown again: an empty bar in its normal style
    EXPECT_EQ(update.pb->maximum(), 100);
    EXPECT_EQ(update.pb->value(), 0);
}

TEST_F(Update, ResetRestoresTheUnitsDefaultsAndIsAcknowledged) {
    TparBytes odd = to_bytes(default_par);
    odd[0] = 3;
    unit->set_settings(odd);
    BoxAnswerer answer(QMessageBox::Ok);
    update.def->click();
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }));
    EXPECT_EQ(answer.seen[0].text, "Настройки сброшены!");
    EXPECT_EQ(unit->settings(), to_bytes(default_par));
}
