// Discovery: finding the unit among the HID devices, opening it, and setting the windows for its mode.
#include "core/link_flags.h"
#include "core/ui_handover.h"
#include "protocol/HID.h"
#include "protocol/USB.h"
#include "protocol/link_health.h"
#include "ui/permission_hint.h"
#include "ui/settings_gate.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

namespace {

constexpr int retry_open_ms = 1000;

QString text(const THIDstring& s) {
    return QString::fromLatin1(s.Chars, s.Length);
}

// The unit that was last opened in normal firmware: reopening the same one keeps its settings valid.
QString last_path;
QString last_serial;

void set_identity(const QString& name, const QString& serial, const QString& version) {
    if (!fu)
        return;
    fu->dev_name->setText(name);
    fu->dev_serial->setText(serial);
    fu->dev_version->setText(version);
}

// One line in the main window's status bar; the whole text (with its remedy) in its tooltip.
void note(const QString& text) {
    if (!fmain)
        return;
    fmain->statusBar()->showMessage(QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    fmain->statusBar()->setToolTip(text);
}

void discover() {
    if (dev_open) {
        hid.HIDcloseDevice();
        dev_open = false;
    }
    link_health::unit_closed();
    const uint8_t n = hid.HIDscanForDevices();
    if (fmain)
        fmain->Cont(false);
    note({});
    for (uint8_t index = 0; index < n; ++index) {
        THIDdeviceInfo info{};
        hid.HIDGetDeviceInfo(index, &info);
        if (text(info.Manufacturer) != QLatin1String("VOK-RZ"))
            continue;

        const QString product = text(info.Product);
        const QString serial = text(info.SerialNumber);
        set_identity(product, serial,
                     QStringLiteral("%1.%2").arg(info.VersionNumber >> 8).arg(info.VersionNumber & 0xFF));
        const QString path = text(info.DevicePath).remove(QChar(0));
        if (info.CanReadWrite == 0)
            // Found but out of reach: the operator learns why and where, instead of a silent window.
            note(permission_hint(path));

        dev_open.store(hid.HIDopenDevice(index) != 0, std::memory_order_release);
        if (!dev_open) {
            settings_gate::unit_closed();
            if (info.CanReadWrite != 0) {
                // Within reach but busy or gone half-way (a unit restarting): tried again shortly, as
                // no device change may come to do it.
                note(QStringLiteral("Блок найден, но не открывается: новая попытка через секунду"));
                QTimer::singleShot(retry_open_ms, [] { usb_connect(); });
            }
            return;
        }
        // "(boot)" marks the boot loader only after the model name, not at the very start.
        if (product.indexOf(QLatin1String("(boot)")) >= 1) {
            boot_mode = true;
            settings_gate::unit_closed();
            if (fu) {
                fu->select->setEnabled(true);
                fu->def->setEnabled(true);
            }
            return;
        }
        if (fu) {
            fu->paintIndicator(QColor(0, 255, 0));
            fu->select->setEnabled(false);
            fu->def->setEnabled(false);
        }
        boot_mode = false;
        link_health::unit_opened();
        settings_gate::unit_opened(path == last_path && serial == last_serial);
        last_path = path;
        last_serial = serial;
        // The controls come on with the unit's first settings block (see the main window's refresh
        // hook), or at once when this is the unit whose block is already shown.
        if (fmain && settings_gate::valid())
            fmain->Cont(true);
        return;
    }
    set_identity({}, {}, {});
    settings_gate::unit_closed();
}

} // namespace

extern "C" void usb_connect() {
    // A device change during a synchronous send waits for its end, like everything else.
    run_or_hold(&discover);
}
