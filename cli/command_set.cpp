// set, reset, load: a new block made from the unit's own, written at once, read back and checked.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/settings_document.h"
#include "cli/settings_fields.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"
#include "ui/config_file.h"

#include <QDir>

#include <functional>

namespace {
// Makes the new block from the unit's (as the window holds it). A refusal sets `why` and a status;
// `notes` are what the command's rules changed beyond what was asked.
using Make = std::function<ExitStatus(const Tpar& current, Tpar& next, QString& why, QStringList& notes)>;

Tpar as_shown(const TparBytes& block) {
    Tpar p = from_bytes(block);
    sanitise(p);
    return p;
}

// With several units, every one is read and its new block made before any is written: a value that
// one of them cannot take is written to none. A unit that cannot be read is told in its turn below.
std::optional<ExitStatus> refused_by_any(UnitSession& session, const UnitChoice& choice, const Make& make) {
    std::optional<ExitStatus> refused;
    for (const FoundUnit& unit : choice.units) {
        QString why;
        QStringList notes;
        TparBytes current;
        Tpar next;
        if (session.open(unit, why) != exit_done || session.read_settings(current, why) != exit_done)
            continue;
        if (const ExitStatus made = make(as_shown(current), next, why, notes); made != exit_done) {
            console::err(QStringLiteral("%1: %2").arg(console::printable(unit.identity.serial), why));
            refused = made;
        }
    }
    return refused;
}

// Reads the unit's block, makes the new one from it and writes it; a block that would not change is
// not written, and said so.
// `may_refuse`: whether `make` can refuse a unit's block at all (a reset cannot).
int write_each(UnitSession& session, const Invocation& inv, const QString& done, const Make& make,
               bool may_refuse = true) {
    const UnitChoice choice = choose_units(session, inv);
    if (may_refuse && choice.status == exit_done && choice.units.size() > 1) {
        if (const std::optional<ExitStatus> refused = refused_by_any(session, choice, make)) {
            console::err(QStringLiteral("ничего не записано ни в один блок"));
            return *refused;
        }
    }
    return for_each_unit(session, inv, choice, [&](UnitSession& s, const FoundUnit&, QString& why) {
        TparBytes current;
        if (const ExitStatus read = s.read_settings(current, why); read != exit_done)
            return read;
        Tpar next;
        QStringList notes;
        const ExitStatus made = make(as_shown(current), next, why, notes);
        for (const QString& note : notes)
            s.err(note);
        if (made != exit_done) {
            why += QStringLiteral("; ничего не записано");
            return made;
        }
        if (to_bytes(next) == current) {
            s.tell(QStringLiteral("настройки блока уже такие, ничего не записано"));
            return exit_done;
        }
        if (!s.write_block(next, why))
            return exit_failed;
        s.tell(done);
        return exit_done;
    });
}
} // namespace

int run_set(const Invocation& inv, UnitSession& session) {
    // Checked once before any unit is touched: a wrong pair sends nothing to any unit.
    const settings_fields::Change dry = settings_fields::apply(default_par, inv.operands, false);
    if (!dry.errors.isEmpty()) {
        for (const QString& e : dry.errors)
            console::err(e);
        console::err(QStringLiteral("ничего не записано"));
        return exit_usage;
    }
    return write_each(session, inv, QStringLiteral("настройки записаны"),
                      [&](const Tpar& current, Tpar& next, QString& why, QStringList& notes) {
                          const settings_fields::Change change =
                              settings_fields::apply(current, inv.operands);
                          notes = change.notes;
                          if (!change.errors.isEmpty()) {
                              why = change.errors.join(QStringLiteral("; "));
                              return exit_usage; // a source name the unit's groups do not have
                          }
                          next = change.block;
                          return exit_done;
                      });
}

int run_reset(const Invocation& inv, UnitSession& session) {
    if (!inv.yes && console::input_is_terminal() &&
        !console::ask(session.stop_signals, QStringLiteral("Установить значения по умолчанию?"), false)) {
        console::err(QStringLiteral("отменено, ничего не записано"));
        return exit_failed;
    }
    return write_each(
        session, inv, QStringLiteral("установлены значения по умолчанию"),
        [](const Tpar&, Tpar& next, QString&, QStringList&) {
            next = default_par;
            return exit_done;
        },
        false);
}

int run_load(const Invocation& inv, UnitSession& session) {
    const QString file = inv.operands.value(0);
    const QString shown = QDir::toNativeSeparators(file);
    if (settings_document::is_document(file)) {
        // Its named fields, as set takes pairs: checked whole before any unit is touched.
        QStringList pairs;
        QString why;
        if (!settings_document::read(file, pairs, why)) {
            console::err(why + QStringLiteral("; ничего не записано"));
            return exit_failed;
        }
        const settings_fields::Change dry = settings_fields::apply(default_par, pairs, false);
        if (!dry.errors.isEmpty()) {
            console::err(QStringLiteral("файл «%1» не принят: %2; ничего не записано")
                             .arg(shown, dry.errors.join(QStringLiteral("; "))));
            return exit_failed;
        }
        return write_each(session, inv, QStringLiteral("настройки загружены из «%1»").arg(shown),
                          [&](const Tpar& current, Tpar& next, QString& why, QStringList& notes) {
                              const settings_fields::Change change = settings_fields::apply(current, pairs);
                              notes = change.notes;
                              next = change.block;
                              why = change.errors.join(QStringLiteral("; "));
                              return why.isEmpty() ? exit_done : exit_failed;
                          });
    }
    QByteArray head;
    QString reason;
    // Read once: every unit gets the same bytes, even if the file changes meanwhile.
    if (!config_file::read_head(file, head, reason)) {
        console::err(
            QStringLiteral("не удалось загрузить конфигурацию из файла «%1»: %2").arg(shown, reason));
        return exit_failed;
    }
    // The bytes are held to the ranges `set` keeps, before any unit is touched: the unit would store
    // a stray value as it is, and its read-back could not tell.
    QStringList wrong;
    if (head.isEmpty())
        wrong << QStringLiteral("файл пуст");
    wrong << settings_fields::check_bytes(head);
    if (!wrong.isEmpty()) {
        console::err(QStringLiteral("файл конфигурации «%1» не загружен: %2; ничего не записано")
                         .arg(shown, wrong.join(QStringLiteral("; "))));
        return exit_failed;
    }
    if (head.size() < qsizetype(sizeof(Tpar)))
        console::err(QStringLiteral("в файле «%1» %2 байт из 17: остальные настройки блока не меняются")
                         .arg(shown)
                         .arg(head.size()));
    else if (head.size() > qsizetype(sizeof(Tpar)))
        console::err(
            QStringLiteral("файл «%1» длиннее 17 байт: взяты первые 17, остальное не учтено").arg(shown));
    head.truncate(qsizetype(sizeof(Tpar)));
    return write_each(session, inv, QStringLiteral("конфигурация загружена из «%1»").arg(shown),
                      [&](const Tpar& current, Tpar& next, QString& why, QStringList&) {
                          // Only the file's bytes change, as in the window.
                          next = current;
                          config_file::overlay(next, head);
                          if (next.group[0] == next.group[1]) {
                              why = QStringLiteral("с группой из файла «%1» обе группы блока были бы %2: "
                                                   "группы должны различаться")
                                        .arg(shown)
                                        .arg(next.group[0] + 1);
                              return exit_failed;
                          }
                          return exit_done;
                      });
}

int run_save(const Invocation& inv, UnitSession& session) {
    const QString file = config_file::with_extension(inv.operands.value(0), Qt::CaseInsensitive);
    return for_each_unit(session, inv, [&](UnitSession& s, const FoundUnit&, QString& why) {
        TparBytes block;
        if (const ExitStatus read = s.read_settings(block, why); read != exit_done)
            return read;
        QString reason;
        Tpar shown = from_bytes(block); // the block as the window holds it, sanitised
        sanitise(shown);
        if (!config_file::save(file, shown, reason)) {
            why = QStringLiteral("не удалось сохранить конфигурацию в файл «%1»: %2")
                      .arg(QDir::toNativeSeparators(file), reason);
            return exit_failed;
        }
        s.tell(QStringLiteral("конфигурация сохранена в «%1»").arg(file));
        return exit_done;
    });
}
