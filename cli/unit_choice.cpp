// Resolving --unit and --all against the units connected now, and the per-unit loop with its summary.
#include "cli/unit_choice.h"

#include "cli/console.h"
#include "cli/unit_session.h"

#include <QStringList>

namespace {
QString serials(const std::vector<FoundUnit>& units) {
    QStringList s;
    for (const FoundUnit& u : units)
        s << console::printable(u.identity.serial);
    return s.join(QStringLiteral(", "));
}
} // namespace

UnitChoice choose_units(UnitSession& session, const Invocation& inv) {
    UnitChoice choice;
    const std::vector<FoundUnit> found = scan_units(session.link.hid);
    if (found.empty()) {
        choice.status = exit_no_unit;
        choice.why = QStringLiteral("не найдено ни одного блока RV-390PKTA");
        return choice;
    }
    if (inv.all || (inv.unit.isEmpty() && found.size() == 1)) {
        choice.units = found;
    } else if (!inv.unit.isEmpty()) {
        for (const FoundUnit& u : found)
            // As `list` shows it too: a serial with blanks or control characters is given escaped.
            if (u.identity.serial == inv.unit || console::printable(u.identity.serial, true) == inv.unit ||
                u.identity.path == inv.unit)
                choice.units.push_back(u);
        if (choice.units.empty()) {
            choice.status = exit_no_unit;
            choice.why = QStringLiteral("блок «%1» не найден; подключены: %2").arg(inv.unit, serials(found));
        } else if (choice.units.size() > 1) {
            choice.status = exit_usage;
            choice.why =
                QStringLiteral("серийный номер %1 у нескольких блоков: укажите путь (%2)").arg(inv.unit, [&] {
                    QStringList paths;
                    for (const FoundUnit& u : choice.units)
                        paths << console::printable(u.identity.path);
                    return paths.join(QStringLiteral(", "));
                }());
            choice.units.clear();
        }
    } else {
        choice.status = exit_usage;
        choice.why =
            QStringLiteral("подключено несколько блоков (%1): укажите --unit или --all").arg(serials(found));
    }
    return choice;
}
