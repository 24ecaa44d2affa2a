// Time of a whole firmware update against the virtual unit, with the 1 ms per-report delay of a
// full-speed link and with none, next to the limit that link sets. An update file's record area holds
// at most 65,535 bytes (265 per 256 data bytes), so the largest update is about 63 KiB of images:
// 56 KiB of flash and 4 KiB of EEPROM here.
#include "core/ui_handover.h"
#include "protocol/link.h"
#include "sim/update_file.h"
#include "sim/virtual_unit.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t flash_size = 56 * 1024;
constexpr std::size_t eeprom_size = 4 * 1024;

// Reports the utility sends: per flash block an erase (1 report) and a write (521 bytes: 9 reports),
// per EEPROM block a write, and the finish.
constexpr std::size_t reports = (flash_size / 512) * 10 + (eeprom_size / 512) * 9 + 1;
constexpr std::size_t commands = (flash_size / 512) * 2 + eeprom_size / 512 + 1;

double update_seconds(std::chrono::microseconds delay) {
    QCoreApplication::processEvents(); // what the last run handed to the event loop
    UnitOptions o;
    o.mode = UnitMode::boot;
    o.serial = "BENCH";
    o.faults.report_delay = delay;
    VirtualUnit unit(o);
    if (!unit.plug())
        return -1;
    UiHandover ui;
    Link link(ui);
    Tfu update(link);
    Tfmain main(link, &update);
    if (!main.link_init())
        return -1;
    update.choose_file = [] { return QStringLiteral("bench.voku"); };
    update.show();
    const auto t0 = Clock::now();
    update.select->click();                // returns once cmd_finish is posted
    unit.wait_for_commands(commands, 60s); // and arrived
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    update.close();
    return s;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir runtime;
    QTemporaryDir work;
    setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QDir::setCurrent(work.path());
    QApplication app(argc, argv);

    std::vector<uint8_t> flash(flash_size), eeprom(eeprom_size);
    for (std::size_t i = 0; i < flash.size(); ++i)
        flash[i] = static_cast<uint8_t>(i * 31);
    for (std::size_t i = 0; i < eeprom.size(); ++i)
        eeprom[i] = static_cast<uint8_t>(i * 7);
    const auto bytes = make_update_file({"RV-390PKTA", 1, 4, flash, eeprom});
    QFile f("bench.voku");
    f.open(QIODevice::WriteOnly);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    f.close();

    const double limit = static_cast<double>(reports) * 1e-3;
    const double slow = update_seconds(1ms);
    const double fast = update_seconds(0us);
    std::printf("update of %zu bytes of flash and %zu of EEPROM: %zu reports\n", flash_size, eeprom_size,
                reports);
    std::printf("  1 ms per report: %.3f s, link limit %.3f s, ratio %.2f\n", slow, limit, slow / limit);
    constexpr std::size_t blocks = flash_size / 512 + eeprom_size / 512;
    std::printf("  no link delay:   %.3f s, %.1f us per report, %.0f us per 512-byte block\n", fast,
                fast / static_cast<double>(reports) * 1e6, fast / static_cast<double>(blocks) * 1e6);
    return 0;
}
