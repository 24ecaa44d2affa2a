// The status-bar note for a unit that is found but cannot be opened for lack of permission, with the fix.
#pragma once

#include <QString>

// What is wrong, on one line: the node (or bus device) may not be opened by this user.
inline QString permission_line(const QString& node) {
    return QStringLiteral("Блок найден, но открыть его нельзя: нет прав доступа к %1").arg(node);
}

// Two lines: what is wrong (with the unit's node), then how to fix it. The rule file is the one the
// package installs in /usr/lib/udev/rules.d; without the package it is copied from packaging/.
inline QString permission_hint(const QString& node) {
    return permission_line(node) +
           QStringLiteral("\nУстановите пакет rv390pkta или скопируйте правило 70-rv390pkta.rules "
                          "в /etc/udev/rules.d/, выполните от root «udevadm control --reload-rules && "
                          "udevadm trigger» и переподключите блок.");
}
