// Discovery: finding the unit among the HID devices, opening it, and telling the windows its mode.
#include "core/link_flags.h"
#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/HID.h"
#include "protocol/USB.h"
#include "protocol/link_health.h"
#include "protocol/unit_blocks.h"
#include "protocol/unit_scan.h"
#include "ui/settings_gate.h"

#include <QTimer>

namespace {

// The unit that was last opened in normal firmware: reopening the same one keeps its settings valid.
QString last_path;
QString last_serial;
// The unit asked for among several (serial number or path); empty: the first found.
QString chosen;
// The serial number of the unit last opened, in either mode, and the line that says another one was
// opened in its place: said until yet another unit is opened or none is found.
QString last_opened;
QString switch_note;

template <class Hook, class... Args> void tell(const Hook& hook, Args&&... args) {
    if (hook)
        hook(std::forward<Args>(args)...);
}

void discover() {
    if (dev_open) {
        hid.HIDcloseDevice();
        dev_open = false;
    }
    link_health::unit_closed();
    unit_blocks::opened({});
    const uint8_t n = hid.HIDscanForDevices();
    tell(ui_hooks.settings_controls, false);
    tell(ui_hooks.note, QString());
    for (uint8_t index = 0; index < n; ++index) {
        const std::optional<FoundUnit> found = unit_at(index);
        if (!found)
            continue;
        const UnitIdentity& unit = found->identity;
        if (!chosen.isEmpty() && unit.serial != chosen && unit.path != chosen)
            continue;

        const QString& serial = unit.serial;
        const QString& path = unit.path;
        tell(ui_hooks.unit_identity, unit);
        if (!found->can_open) {
            // Found but out of reach: not opened (nothing could be sent or read through a handle for
            // queries), and the operator learns why and where instead of being sent to the cable.
            settings_gate::unit_closed();
            tell(ui_hooks.note, cannot_open_note(*found));
            return;
        }

        dev_open.store(hid.HIDopenDevice(index) != 0, std::memory_order_release);
        if (!dev_open) {
            settings_gate::unit_closed();
            {
                // Within reach but busy or gone half-way (a unit restarting): tried again shortly, as
                // no device change may come to do it.
                tell(ui_hooks.note,
                     QStringLiteral("Блок найден, но не открывается: новая попытка через секунду"));
                QTimer::singleShot(timings::retry_open, [] { usb_connect(); });
            }
            return;
        }
        // With several units attached, the one opened may not be the one shown before (it was unplugged,
        // or came back after the other): the operator must not take one unit's settings for another's.
        if (!last_opened.isEmpty() && !serial.isEmpty() && serial != last_opened)
            switch_note =
                QStringLiteral("Открыт другой блок: серийный номер %1 (был %2)").arg(serial, last_opened);
        if (!serial.isEmpty())
            last_opened = serial;
        if (found->boot_loader) {
            boot_mode = true;
            settings_gate::unit_closed();
            tell(ui_hooks.unit_opened, OpenedMode::boot_loader);
            // A unit left in its boot loader (an update cut short) says how to go on.
            const QString boot_note =
                QStringLiteral("Блок в режиме загрузчика: откройте «Обновление ПО», чтобы "
                               "завершить обновление");
            tell(ui_hooks.note,
                 switch_note.isEmpty() ? boot_note : switch_note + QStringLiteral(". ") + boot_note);
            return;
        }
        if (!switch_note.isEmpty())
            tell(ui_hooks.note, switch_note);
        tell(ui_hooks.unit_opened, OpenedMode::normal);
        boot_mode = false;
        link_health::unit_opened();
        unit_blocks::opened(serial);
        settings_gate::unit_opened(path == last_path && serial == last_serial);
        last_path = path;
        last_serial = serial;
        // The controls come on with the unit's first settings block (see the main window's refresh
        // hook), or at once when this is the unit whose block is already shown.
        if (settings_gate::valid())
            tell(ui_hooks.settings_controls, true);
        // The first poll goes now, not with the poll timer's next tick up to a period later; only
        // now, as its reply counts for this unit once the gate above has been set for it.
        poll_settings();
        return;
    }
    tell(ui_hooks.unit_identity, UnitIdentity{});
    settings_gate::unit_closed();
    switch_note.clear();
}

} // namespace

void choose_unit(const QString& serial_or_path) {
    chosen = serial_or_path;
}

QString chosen_unit() {
    return chosen;
}

extern "C" void usb_connect() {
    // A device change during a synchronous send waits for its end, like everything else.
    run_or_hold(&discover);
}
