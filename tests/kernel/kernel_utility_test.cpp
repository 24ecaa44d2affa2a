// The utility end to end on the real Linux USB HID stack: the windows offscreen, the unit as a USB gadget.
#include "protocol/commands.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "tests/kernel/kernel_support.h"
#include "tests/support/boxes.h"
#include "tests/support/wait.h"
#include "tests/support/window_controls.h"
#include "tests/support/worker.h"
#include "ui/settings.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Generous limits: the guest runs without hardware acceleration.
constexpr int limit_ms = 30000;

struct Windows {
    Link& link;
    Tfu update{link};
    Tfmain main{link, &update};
};

// but, group[2], src[8], xlr_gain, db0, headroom, scale, ind, agr: in range, so the utility shows it as is.
const TparBytes unit_block{1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 0xFC, 0xF6, 12, 1, 2, 1};
constexpr std::size_t headroom_byte = 13;

std::size_t count_of(const VirtualUnit& unit, uint8_t code) {
    std::size_t n = 0;
    for (const auto& c : unit.commands())
        n += c.code == code ? 1 : 0;
    return n;
}

class KernelUtility : public LinkTest {
protected:
    void SetUp() override {
        SKIP_WITHOUT_GADGETS();
        UnitOptions o;
        o.serial = "KU-0100";
        o.version = 0x0104;
        o.settings = unit_block;
        o.restart_delay = 100ms;
        o.gadget = GadgetOptions{};
        unit = std::make_unique<VirtualUnit>(o);
        ASSERT_TRUE(unit->plug()) << unit->error();
        w = std::make_unique<Windows>(link);
    }

    // As the operator starts it: the main window shown and active brings the link up; discovery finds
    // the unit once the host has enumerated it (at once, or through the library's device-change handler).
    void start_and_find() {
        w->main.show();
        w->main.activateWindow();
        ASSERT_TRUE(wait_for([&] { return w->main.isActiveWindow(); }, limit_ms));
        ASSERT_TRUE(wait_for([&] { return w->update.dev_name->text() == "RV-390PKTA"; }, limit_ms))
            << "the utility never found the unit";
        EXPECT_EQ(w->update.dev_serial->text(), "KU-0100");
        EXPECT_EQ(w->update.dev_version->text(), "1.4");
        EXPECT_TRUE(link.dev_open);
        EXPECT_FALSE(link.boot_mode);
        ASSERT_TRUE(wait_for([&] { return controls_enabled(w->main); }, limit_ms))
            << "no settings reached the window";
    }

    std::unique_ptr<VirtualUnit> unit;
    std::unique_ptr<Windows> w;
};

} // namespace

TEST_F(KernelUtility, FindsTheUnitAndShowsWhatItsPollsReturn) {
    start_and_find();
    EXPECT_EQ(to_bytes(link.par.get()), unit_block);
    EXPECT_EQ(w->main.headroom->value(), 12);
    EXPECT_EQ(w->main.db0->value(), -10);

    // Changed at the unit: the next polls bring it to the window.
    TparBytes changed = unit_block;
    changed[headroom_byte] = 20;
    unit->set_settings(changed);
    ASSERT_TRUE(wait_for([&] { return w->main.headroom->value() == 20; }, limit_ms));
    EXPECT_GE(count_of(*unit, cmd_get_par), 2u);
    EXPECT_EQ(count_of(*unit, cmd_set_par), 0u); // polling writes nothing
}

TEST_F(KernelUtility, AnOperatorsChangeReachesTheUnit) {
    start_and_find();
    w->main.headroom->setFocus();
    QTest::keyClick(w->main.headroom, Qt::Key_Up); // 12 -> 13
    EXPECT_EQ(link.par.get().headroom, 13);
    ASSERT_TRUE(wait_for([&] { return unit->settings()[headroom_byte] == 13; }, limit_ms))
        << "the change never reached the unit";
    TparBytes expected = unit_block;
    expected[headroom_byte] = 13;
    EXPECT_EQ(unit->settings(), expected);
    EXPECT_GE(count_of(*unit, cmd_set_par), 1u);
}

TEST_F(KernelUtility, UpdatesTheFirmwareThroughTheBootLoaderAndFindsTheUnitBack) {
    start_and_find();

    // The update window asks the unit into its boot loader; the unit comes back as "RV-390PKTA(boot)".
    w->update.show();
    ASSERT_TRUE(wait_for([&] { return link.boot_mode && w->update.select->isEnabled(); }, limit_ms))
        << "the unit was never found in its boot loader";
    EXPECT_EQ(w->update.dev_name->text(), "RV-390PKTA(boot)");
    EXPECT_EQ(unit->mode(), UnitMode::boot);

    std::vector<uint8_t> flash(700), eeprom(100);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = static_cast<uint8_t>(i * 13 + 1);
    for (std::size_t i = 0; i < eeprom.size(); ++i)
        eeprom[i] = static_cast<uint8_t>(i * 7 + 3);
    name_firmware_version(flash, 1, 5); // as a real unit's firmware names the version it reports
    const auto bytes = make_update_file({"RV-390PKTA", 1, 5, flash, eeprom});
    QFile file("kernel.voku");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    file.close();

    BoxAnswerer answer(QMessageBox::Ok);
    w->update.choose_file = [] { return QString("kernel.voku"); };
    w->update.select->click();
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }, limit_ms));
    EXPECT_EQ(answer.seen[0].text, "Обновление завершено успешно!");
    ASSERT_TRUE(wait_for([&] { return !w->update.isVisible(); }, limit_ms));

    const auto landed = unit->flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), landed.begin()));
    EXPECT_TRUE(std::all_of(landed.begin() + static_cast<std::ptrdiff_t>(flash.size()), landed.begin() + 1024,
                            [](uint8_t b) { return b == 0xFF; }));
    const auto eep = unit->eeprom();
    EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), eep.begin()));
    EXPECT_EQ(unit->last_update(), std::optional<bool>(true));
    EXPECT_EQ(count_of(*unit, cmd_erase), 2u);
    EXPECT_EQ(count_of(*unit, cmd_write_flash), 2u);
    EXPECT_EQ(count_of(*unit, cmd_write_eep), 1u);

    // The unit restarts into its normal firmware and the utility finds it there by itself.
    ASSERT_TRUE(
        wait_for([&] { return !link.boot_mode && w->update.dev_name->text() == "RV-390PKTA"; }, limit_ms));
    EXPECT_TRUE(link.dev_open);
    EXPECT_EQ(unit->mode(), UnitMode::normal);
    EXPECT_EQ(w->update.dev_version->text(), "1.5") << "the version the new firmware names";
}
