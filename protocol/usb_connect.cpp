// Discovery: finding the unit among the HID devices, opening it, and telling the windows its mode.
#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/link.h"
#include "protocol/unit_scan.h"

#include <QTimer>

#include <algorithm>

void Link::close_settings() {
    gate.unit_closed();
    // Changes meant for that unit are not kept for whichever unit comes next: the operator is told.
    if (par.give_up_unsent())
        health.edit_given_up();
}

void Link::discover() {
    if (dev_open) {
        hid.HIDcloseDevice();
        dev_open = false;
    }
    health.unit_closed();
    blocks.opened({});
    const std::vector<FoundUnit> units = scan_units(hid);
    emit units_found(units);
    if (scan_only_)
        return;
    emit settings_controls(false);
    emit note(QString());
    // The preferred unit when it is here, else the first; a chosen one or none.
    const bool preferred_here = std::any_of(units.begin(), units.end(), [&](const FoundUnit& f) {
        return !preferred_.isEmpty() && f.identity.serial == preferred_;
    });
    const QString& wanted = chosen_.isEmpty() && preferred_here ? preferred_ : chosen_;
    for (const FoundUnit& found : units) {
        const UnitIdentity& unit = found.identity;
        if (!wanted.isEmpty() && unit.serial != wanted && unit.path != wanted)
            continue;

        const QString& serial = unit.serial;
        const QString& path = unit.path;
        emit unit_identity(unit);
        if (!found.can_open) {
            // Found but out of reach: not opened (nothing could be sent or read through a handle for
            // queries), and the operator learns why and where instead of being sent to the cable.
            close_settings();
            emit note(cannot_open_note(found));
            return;
        }

        dev_open.store(hid.HIDopenDevice(found.index) != 0, std::memory_order_release);
        if (!dev_open) {
            close_settings();
            {
                // Within reach but busy or gone half-way (a unit restarting): tried again shortly, as
                // no device change may come to do it.
                emit note(QStringLiteral("Блок найден, но не открывается: новая попытка через секунду"));
                QTimer::singleShot(timings::retry_open, this, [this] { usb_connect(); });
            }
            return;
        }
        // With several units attached, the one opened may not be the one shown before (it was unplugged,
        // or came back after the other): the operator must not take one unit's settings for another's.
        if (!last_opened_.isEmpty() && !serial.isEmpty() && serial != last_opened_)
            switch_note_ =
                QStringLiteral("Открыт другой блок: серийный номер %1 (был %2)").arg(serial, last_opened_);
        if (!serial.isEmpty())
            last_opened_ = serial;
        if (found.boot_loader) {
            boot_mode = true;
            close_settings();
            emit unit_opened(OpenedMode::boot_loader);
            // A unit left in its boot loader (an update cut short) says how to go on.
            const QString boot_note =
                QStringLiteral("Блок в режиме загрузчика: откройте «Обновление ПО», чтобы "
                               "завершить обновление");
            emit note(switch_note_.isEmpty() ? boot_note : switch_note_ + QStringLiteral(". ") + boot_note);
            return;
        }
        if (!switch_note_.isEmpty())
            emit note(switch_note_);
        emit unit_opened(OpenedMode::normal);
        boot_mode = false;
        health.unit_opened();
        blocks.opened(serial);
        gate.unit_opened(path == last_path_ && serial == last_serial_);
        last_path_ = path;
        last_serial_ = serial;
        // The controls come on with the unit's first settings block (see the main window's refresh
        // hook), or at once when this is the unit whose block is already shown.
        if (gate.valid())
            emit settings_controls(true);
        // The first poll goes now, not with the poll timer's next tick up to a period later; only
        // now, as its reply counts for this unit once the gate above has been set for it.
        poll_settings();
        return;
    }
    emit unit_identity(UnitIdentity{});
    close_settings();
    switch_note_.clear();
}

void Link::usb_connect() {
    // A device change during a synchronous send waits for its end, like everything else.
    ui.run_or_hold(this, [this] { discover(); });
}
