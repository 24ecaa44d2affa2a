// Resolving --unit and --all against the units connected now, and the per-unit loop with its summary.
#include "cli/unit_choice.h"

#include "cli/console.h"
#include "cli/interrupts.h"
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

int for_each_unit(UnitSession& session, const Invocation& inv,
                  const std::function<ExitStatus(const FoundUnit&, QString& why)>& act) {
    return for_each_unit(session, inv, choose_units(session, inv), act);
}

int for_each_unit(UnitSession& session, const Invocation& inv, const UnitChoice& choice,
                  const std::function<ExitStatus(const FoundUnit&, QString& why)>& act) {
    if (choice.status != exit_done) {
        console::err(choice.why);
        return choice.status;
    }
    QStringList failed;
    std::optional<ExitStatus> failure;
    for (std::size_t i = 0; i < choice.units.size(); ++i) {
        const FoundUnit& unit = choice.units[i];
        // After a signal no further unit is begun.
        if (session.stop_signals.requested()) {
            QStringList left;
            for (std::size_t j = i; j < choice.units.size(); ++j)
                left << console::printable(choice.units[j].identity.serial);
            console::err(
                QStringLiteral("прервано (%1): не начаты: %2")
                    .arg(QLatin1String(session.stop_signals.signal_name()), left.join(QStringLiteral(", "))));
            failed << left;
            failure =
                ExitStatus(session.stop_signals.exit_status()); // the signal's status, whatever came before
            break;
        }
        QString why;
        ExitStatus status = session.open(unit, why);
        if (status == exit_done)
            status = act(unit, why);
        if (status == exit_done)
            continue;
        console::err(QStringLiteral("%1: %2").arg(console::printable(unit.identity.serial), why));
        failed << console::printable(unit.identity.serial);
        failure = !failure || *failure == status ? status : exit_failed;
    }
    // On standard error where standard output carries JSON.
    if (inv.all)
        (inv.json ? console::err : console::out)(
            QStringLiteral("Итого: блоков %1, выполнено %2, с ошибкой %3%4")
                .arg(choice.units.size())
                .arg(choice.units.size() - std::size_t(failed.size()))
                .arg(failed.size())
                .arg(failed.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failed.join(", "))));
    return failure.value_or(exit_done);
}
