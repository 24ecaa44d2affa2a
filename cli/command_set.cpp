// set, reset, load: a new block made from the unit's own, written at once, read back and checked.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/settings_fields.h"
#include "cli/unit_choice.h"
#include "cli/unit_session.h"
#include "ui/config_file.h"

#include <QDir>

#include <functional>

namespace {
// Reads the unit's block, makes the new one from it and writes it; `make` says why when the new block
// cannot be made.
int write_each(const Invocation& inv, const QString& done,
               const std::function<ExitStatus(const Tpar& current, Tpar& next, QString& why)>& make) {
    return for_each_unit(inv, [&](const FoundUnit& unit, QString& why) {
        TparBytes current;
        if (const ExitStatus read = unit_session::read_settings(current, why); read != exit_done)
            return read;
        Tpar shown = from_bytes(current); // as the window holds it
        sanitise(shown);
        Tpar next;
        if (const ExitStatus made = make(shown, next, why); made != exit_done)
            return made;
        if (!unit_session::write_block(next, why))
            return exit_failed;
        console::out(QStringLiteral("%1: %2").arg(console::printable(unit.identity.serial), done));
        return exit_done;
    });
}
} // namespace

int run_set(const Invocation& inv) {
    // Checked once before any unit is touched: a wrong pair sends nothing to any unit.
    const settings_fields::Change dry = settings_fields::apply(default_par, inv.operands, false);
    if (!dry.errors.isEmpty()) {
        for (const QString& e : dry.errors)
            console::err(e);
        console::err(QStringLiteral("ничего не записано"));
        return exit_usage;
    }
    return write_each(
        inv, QStringLiteral("настройки записаны"), [&](const Tpar& current, Tpar& next, QString& why) {
            const settings_fields::Change change = settings_fields::apply(current, inv.operands);
            for (const QString& note : change.notes)
                console::err(note);
            if (!change.errors.isEmpty()) {
                why = change.errors.join(QStringLiteral("; ")) + QStringLiteral("; ничего не записано");
                return exit_usage; // a source name the unit's groups do not have
            }
            next = change.block;
            return exit_done;
        });
}

int run_reset(const Invocation& inv) {
    if (!inv.yes && console::input_is_terminal() &&
        !console::ask(QStringLiteral("Установить значения по умолчанию?"), false)) {
        console::err(QStringLiteral("отменено, ничего не записано"));
        return exit_failed;
    }
    return write_each(inv, QStringLiteral("установлены значения по умолчанию"),
                      [](const Tpar&, Tpar& next, QString&) {
                          next = default_par;
                          return exit_done;
                      });
}

int run_load(const Invocation& inv) {
    const QString file = inv.operands.value(0);
    QByteArray head;
    QString reason;
    // Read once: every unit gets the same bytes, even if the file changes meanwhile.
    if (!config_file::read_head(file, head, reason)) {
        console::err(QStringLiteral("не удалось загрузить конфигурацию из файла «%1»: %2")
                         .arg(QDir::toNativeSeparators(file), reason));
        return exit_failed;
    }
    if (head.size() < qsizetype(sizeof(Tpar)))
        console::err(QStringLiteral("в файле «%1» %2 байт из 17: остальные настройки блока не меняются")
                         .arg(QDir::toNativeSeparators(file))
                         .arg(head.size()));
    return write_each(inv, QStringLiteral("конфигурация загружена из «%1»").arg(file),
                      [&](const Tpar& current, Tpar& next, QString&) {
                          // Only the file's bytes change, as in the window.
                          next = current;
                          config_file::overlay(next, head);
                          return exit_done;
                      });
}

int run_save(const Invocation& inv) {
    const QString file = config_file::with_extension(inv.operands.value(0));
    return for_each_unit(inv, [&](const FoundUnit& unit, QString& why) {
        TparBytes block;
        if (const ExitStatus read = unit_session::read_settings(block, why); read != exit_done)
            return read;
        QString reason;
        Tpar shown = from_bytes(block); // the block as the window holds it, sanitised
        sanitise(shown);
        if (!config_file::save(file, shown, reason)) {
            why = QStringLiteral("не удалось сохранить конфигурацию в файл «%1»: %2")
                      .arg(QDir::toNativeSeparators(file), reason);
            return exit_failed;
        }
        console::out(QStringLiteral("%1: конфигурация сохранена в «%2»")
                         .arg(console::printable(unit.identity.serial), file));
        return exit_done;
    });
}
