// update: the window's firmware update from the command line, with the settings saved first and offered back.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/interrupts.h"
#include "cli/json_output.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"
#include "cli/update_lock.h"
#include "core/instance_channel.h"
#include "core/mailbox.h"
#include "core/timings.h"
#include "protocol/commands.h"
#include "protocol/unit_blocks.h"
#include "update/settings_backup.h"
#include "update/update_procedure.h"

#include <QDir>
#include <QTimer>

namespace {
// How long the unit has for each step before the operator is told.
constexpr auto boot_loader_limit =
    std::chrono::duration_cast<std::chrono::seconds>(timings::boot_loader_limit);
constexpr auto result_limit = std::chrono::duration_cast<std::chrono::seconds>(timings::update_result_limit);
constexpr auto back_limit = std::chrono::duration_cast<std::chrono::seconds>(timings::back_in_firmware_limit);

// The unit restarts into its boot loader when it gets the update poll, as the update window sends it.
bool enter_boot_loader(UnitSession& session, const FoundUnit& unit) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&session] {
        if (!session.in_boot_loader())
            session.link.mailbox.post(Request{cmd_upd_poll, {}});
    });
    session.link.mailbox.post(Request{cmd_upd_poll, {}});
    poll.start(timings::update_poll);
    return session.wait_until(
        [&] { return session.in_boot_loader() && session.opened().serial == unit.identity.serial; },
        boot_loader_limit);
}

// The settings as they were, and the file they were saved to.
struct Backup {
    TparBytes block;
    QString path;
};

std::optional<Backup> save_backup_first(UnitSession& session, const QString& serial) {
    const std::optional<TparBytes> block = session.link.blocks.last_of(serial);
    if (!block) {
        session.out(QStringLiteral("Настройки не сохранены: блок не был в обычном режиме"));
        return std::nullopt;
    }
    const BackupResult saved = save_backup(serial, *block);
    if (!saved.saved) {
        session.out(QStringLiteral("Настройки не сохранены: %1").arg(saved.why));
        return std::nullopt;
    }
    session.out(QStringLiteral("Настройки сохранены: %1").arg(QDir::toNativeSeparators(saved.path)));
    return Backup{*block, saved.path};
}

QString restore_hint(const FoundUnit& unit, const Backup& saved) {
    return QStringLiteral("восстановить: rv390pkta-cli --unit %1 load %2")
        .arg(console::printable(unit.identity.serial, true),
             console::printable(QDir::toNativeSeparators(saved.path), true));
}

// Once the unit is back in its normal firmware with another block: restore when asked to, or when the
// operator agrees; a script that said nothing keeps the new block and is told how to restore.
ExitStatus offer_restore(UnitSession& session, const Invocation& inv, const FoundUnit& unit,
                         const Backup& saved, QString& why) {
    TparBytes now;
    if (const ExitStatus read = session.read_settings(now, why); read != exit_done)
        return read;
    if (now == saved.block)
        return exit_done;
    bool restore = false;
    if (inv.restore)
        restore = *inv.restore;
    else if (console::input_is_terminal())
        restore = session.terminal.ask(
            session.stop_signals, QStringLiteral("Восстановить настройки, сохранённые перед обновлением?"),
            true);
    if (!restore || session.stop_signals.requested()) {
        session.out(QStringLiteral("Настройки не восстановлены; %1").arg(restore_hint(unit, saved)));
        return exit_done;
    }
    if (!session.write_block(from_bytes(saved.block), why))
        return exit_failed;
    session.out(QStringLiteral("Настройки восстановлены"));
    return exit_done;
}

bool back_in_normal_firmware(UnitSession& session, const QString& serial) {
    return session.wait_until(
        [&] { return session.is_open() && !session.in_boot_loader() && session.opened().serial == serial; },
        back_limit);
}

QString interrupted(const interrupts::Signals& stop_signals) {
    return QStringLiteral("прервано (%1)").arg(QLatin1String(stop_signals.signal_name()));
}

// After a signal, between two blocks at most: the unit is asked to leave its boot loader, as the update
// window's "Закрыть" asks it, and the line says how far the update had come and where the unit is.
ExitStatus stop_in_boot_loader(UnitSession& session, const QString& serial, int sent, int blocks,
                               QString& why) {
    session.link.mailbox.post(Request{cmd_upd_close, {}});
    const bool back = back_in_normal_firmware(session, serial);
    why =
        QStringLiteral("%1 %2; %3")
            .arg(interrupted(session.stop_signals),
                 sent == 0 ? QStringLiteral("до записи, ПО блока не изменено")
                           : QStringLiteral("после записи %1 из %2 блоков: ПО записано не полностью, "
                                            "повторите обновление")
                                 .arg(sent)
                                 .arg(blocks),
                 back ? QStringLiteral("блок вернулся в обычный режим")
                      : QStringLiteral("блок не вышел из режима загрузчика за %1 с").arg(back_limit.count()));
    return ExitStatus(session.stop_signals.exit_status());
}

int block_count(const UpdatePackage& package) {
    const auto blocks = [](qsizetype bytes) {
        return static_cast<int>((bytes + update_block_size - 1) / update_block_size);
    };
    return blocks(package.images.flash.size()) + blocks(package.images.eeprom.size());
}

ExitStatus update_unit(UnitSession& session, UpdateLocks& locks, const Invocation& inv,
                       const UpdatePackage& package, const FoundUnit& unit, QString& why) {
    const QString serial = unit.identity.serial;
    const QString shown = console::printable(serial);
    const QString name = QString::fromLatin1(package.header.inf.name);
    if (!locks.claim(serial, why))
        return exit_failed;
    if (!name_rule_accepts(package.header.inf, unit.identity.product)) {
        why = QStringLiteral("Неверный файл! Файл для «%1», блок — «%2»")
                  .arg(name, console::printable(unit.identity.product));
        return exit_failed;
    }
    if (!inv.yes && console::input_is_terminal() &&
        !session.terminal.ask(session.stop_signals,
                              QStringLiteral("Обновить ПО блока %1 (версия %2) файлом %3 %4?")
                                  .arg(shown, unit.identity.version, name, package.version()),
                              false)) {
        why = session.stop_signals.requested() ? interrupted(session.stop_signals)
                                               : QStringLiteral("обновление отменено");
        return session.stop_signals.requested() ? ExitStatus(session.stop_signals.exit_status())
                                                : exit_failed;
    }
    std::optional<Backup> saved;
    if (!unit.boot_loader) {
        TparBytes block;
        if (const ExitStatus read = session.read_settings(block, why); read != exit_done)
            return read;
        saved = save_backup_first(session, serial);
        if (session.stop_signals.requested()) {
            why = QStringLiteral("%1 до перехода в режим загрузчика: блок не тронут")
                      .arg(interrupted(session.stop_signals));
            return ExitStatus(session.stop_signals.exit_status());
        }
        // Followed by serial from here on: the restarts may give the unit another path.
        session.link.choose_unit(serial);
        session.tell(QStringLiteral("переход в режим загрузчика…"));
        if (!enter_boot_loader(session, unit)) {
            why = QStringLiteral("блок не перешёл в режим загрузчика за %1 с").arg(boot_loader_limit.count());
            return session.stop_signals.requested() ? ExitStatus(session.stop_signals.exit_status())
                                                    : exit_failed;
        }
    } else {
        saved = save_backup_first(session, serial);
        // Reopened by serial from here on: the restarts may give the unit another path.
        if (const ExitStatus again = session.open(unit, why, true); again != exit_done)
            return again;
    }
    const int blocks = block_count(package);
    if (session.stop_signals.requested())
        return stop_in_boot_loader(session, serial, 0, blocks, why);

    session.reset_update_result();
    console::Progress progress(session.terminal, QStringLiteral("%1: запись").arg(shown),
                               inv.json ? std::optional(serial) : std::nullopt);
    UpdateSteps steps;
    steps.progress = [&](int percent) { progress.show(percent); };
    // A signal is held until the block being written is through.
    steps.go_on = [&session] { return !session.stop_signals.requested(); };
    const UpdateResult result = run_update(
        package, session.opened().product, steps,
        [&session](const Request& r) { return session.link.mailbox.send_and_wait(r); },
        post_holding_for_answer(session.link));
    progress.finish();
    switch (result.outcome) {
    case UpdateOutcome::sent:
        break;
    case UpdateOutcome::stopped:
        return stop_in_boot_loader(session, serial, result.blocks_sent, blocks, why);
    case UpdateOutcome::wrong_file:
        why = QStringLiteral("Неверный файл!");
        return exit_failed;
    case UpdateOutcome::unreadable_file:
        why = result.error;
        return exit_failed;
    case UpdateOutcome::block_failed:
        why = QStringLiteral("Ошибка обновления. Повторите попытку. Блок остаётся в режиме загрузчика");
        return exit_failed;
    }
    if (!session.wait_until(
            [&session] { return session.update_result().has_value() || session.stop_signals.requested(); },
            result_limit)) {
        why = QStringLiteral("блок не сообщил результат обновления за %1 с").arg(result_limit.count());
        return exit_failed;
    }
    if (!session.update_result()) {
        why = QStringLiteral("%1 после записи всех блоков: блок завершает обновление сам, результат не "
                             "дождались; проверьте: rv390pkta-cli list")
                  .arg(interrupted(session.stop_signals));
        return ExitStatus(session.stop_signals.exit_status());
    }
    if (!*session.update_result()) {
        why = QStringLiteral("Ошибка в процессе обновления! Повторите попытку");
        return exit_failed;
    }
    session.tell(QStringLiteral("Обновление завершено успешно!"));
    if (!back_in_normal_firmware(session, serial)) {
        why = QStringLiteral("блок не вернулся в обычный режим за %1 с").arg(back_limit.count());
        return exit_failed;
    }
    const QString running = session.opened().version;
    session.tell(QStringLiteral("блок работает, версия ПО %1").arg(running));
    const ExitStatus restored = saved ? offer_restore(session, inv, unit, *saved, why) : exit_done;
    if (restored != exit_done)
        return restored;
    // The unit says what it runs: a file whose records hold other firmware than its header names
    // is no success.
    if (running != package.version()) {
        why = QStringLiteral("после обновления блок сообщает версию ПО %1, а в файле %2: проверьте файл "
                             "обновления")
                  .arg(running, package.version());
        return exit_failed;
    }
    if (session.stop_signals.requested()) {
        why = QStringLiteral("%1 после обновления").arg(interrupted(session.stop_signals));
        return ExitStatus(session.stop_signals.exit_status());
    }
    if (inv.json)
        session.json_line(json_output::event("updated", serial, {{QStringLiteral("version"), running}}));
    return exit_done;
}
} // namespace

int run_update(const Invocation& inv_given, UnitSession& session) {
    Invocation inv = inv_given; // the questions asked for the rack answer the per-unit ones
    // Two writers would interleave their multi-report messages: the window must not run meanwhile.
    if (instance_running())
        return command_failed(
            inv, exit_failed,
            QStringLiteral("окно программы rv390pkta запущено: закройте его и повторите обновление"));
    // The whole file is read and checked before any unit is touched: a file cut short is refused
    // here, not found out with the unit in its boot loader.
    UpdatePackage package;
    try {
        package = read_update_package(inv.operands.value(0));
    } catch (const UpdateFileError& e) {
        return command_failed(inv, exit_failed, QString::fromStdString(e.what()));
    }
    const QString name = QString::fromLatin1(package.header.inf.name);
    (inv.json ? console::err
              : console::out)(QStringLiteral("Файл обновления: %1, версия %2").arg(name, package.version()));
    const interrupts::Signals::Hold hold(session.stop_signals);
    UpdateLocks locks;
    // Claimed before the scan too when the unit is named: another process's update may have it
    // restarting, off the bus, just now.
    if (QString why; !inv.unit.isEmpty() && !locks.claim(inv.unit, why))
        return command_failed(inv, exit_failed,
                              QStringLiteral("%1: %2").arg(console::printable(inv.unit), why));
    const UnitChoice choice = choose_units(session, inv);
    // Units updated at once are asked about once, before any begins: questions in the middle would
    // stop every unit's transfer behind the operator's answer.
    if (choice.units.size() > 1 && inv.jobs > 1 && console::input_is_terminal()) {
        if (!inv.yes) {
            QStringList serials;
            for (const FoundUnit& u : choice.units)
                serials << console::printable(u.identity.serial);
            if (!session.terminal.ask(session.stop_signals,
                                      QStringLiteral("Обновить ПО блоков %1 файлом %2 %3?")
                                          .arg(serials.join(QStringLiteral(", ")), name, package.version()),
                                      false))
                return command_failed(
                    inv, session.stop_signals.requested() ? session.stop_signals.exit_status() : exit_failed,
                    session.stop_signals.requested() ? interrupted(session.stop_signals)
                                                     : QStringLiteral("обновление отменено"));
            inv.yes = true;
        }
        if (!inv.restore)
            inv.restore = session.terminal.ask(
                session.stop_signals,
                QStringLiteral("Восстанавливать после обновления настройки, сохранённые перед ним?"), true);
    }
    return for_each_unit(
        session, inv, choice,
        [&](UnitSession& s, const FoundUnit& unit, QString& why) {
            return update_unit(s, locks, inv, package, unit, why);
        },
        JsonResults::lines);
}
