// Telling the units apart from the other HID devices by their manufacturer string.
#include "protocol/unit_scan.h"

#include "protocol/HID.h"
#include "protocol/permission_hint.h"

namespace {
QString text(const THIDstring& s) {
    return QString::fromLatin1(s.Chars, s.Length);
}
} // namespace

std::optional<FoundUnit> unit_at(const THIDentries& hid, uint8_t index) {
    THIDdeviceInfo info{};
    hid.HIDGetDeviceInfo(index, &info);
    if (text(info.Manufacturer) != QLatin1String("VOK-RZ"))
        return std::nullopt;
    FoundUnit unit;
    unit.index = index;
    unit.identity =
        UnitIdentity{text(info.Product), text(info.SerialNumber),
                     QStringLiteral("%1.%2").arg(info.VersionNumber >> 8).arg(info.VersionNumber & 0xFF),
                     text(info.DevicePath).remove(QChar(0))};
    // "(boot)" marks the boot loader only after the model name, not at the very start.
    unit.boot_loader = unit.identity.product.indexOf(QLatin1String("(boot)")) >= 1;
    unit.can_open = info.CanReadWrite != 0;
    return unit;
}

QString cannot_open_note(const FoundUnit& unit) {
    if (!unit.no_permission())
        return {};
    // The fix with udev applies to kernel nodes; a bus device's rights are its own program's.
    return unit.kernel_node() ? permission_hint(unit.identity.path) : permission_line(unit.identity.path);
}

std::vector<FoundUnit> scan_units(const THIDentries& hid) {
    std::vector<FoundUnit> units;
    const uint8_t n = hid.HIDscanForDevices();
    for (uint8_t index = 0; index < n; ++index)
        if (auto unit = unit_at(hid, index))
            units.push_back(*unit);
    return units;
}
