// update: the window's firmware update from the command line, with the settings saved first and offered back.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/unit_choice.h"
#include "cli/unit_session.h"
#include "core/instance_channel.h"
#include "core/mailbox.h"
#include "core/timings.h"
#include "protocol/USB.h"
#include "protocol/commands.h"
#include "protocol/unit_blocks.h"
#include "update/settings_backup.h"
#include "update/update_procedure.h"

#include <QDir>
#include <QTimer>

using namespace std::chrono_literals;

namespace {
// How long the unit has for each step before the operator is told.
constexpr auto boot_loader_limit = 10s;
constexpr auto result_limit = 30s;
constexpr auto back_limit = 10s;

// The unit restarts into its boot loader when it gets the update poll, as the update window sends it.
bool enter_boot_loader(const FoundUnit& unit) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (!unit_session::in_boot_loader())
            mailbox.post(Request{cmd_upd_poll, {}, false});
    });
    mailbox.post(Request{cmd_upd_poll, {}, false});
    poll.start(timings::update_poll);
    return unit_session::wait_until(
        [&] {
            return unit_session::in_boot_loader() && unit_session::opened().serial == unit.identity.serial;
        },
        boot_loader_limit);
}

std::optional<TparBytes> save_backup_first(const QString& serial) {
    const std::optional<TparBytes> block = unit_blocks::last_of(serial);
    if (!block) {
        console::out(QStringLiteral("Настройки не сохранены: блок не был в обычном режиме"));
        return std::nullopt;
    }
    const BackupResult saved = save_backup(serial, *block);
    if (!saved.saved) {
        console::out(QStringLiteral("Настройки не сохранены: %1").arg(saved.why));
        return std::nullopt;
    }
    console::out(QStringLiteral("Настройки сохранены: %1").arg(QDir::toNativeSeparators(saved.path)));
    return block;
}

// Once the unit is back in its normal firmware with another block: restore when asked to, or when the
// operator agrees; a script that said nothing keeps the new block and is told how to restore.
ExitStatus offer_restore(const Invocation& inv, const FoundUnit& unit, const TparBytes& saved, QString& why) {
    TparBytes now;
    if (const ExitStatus read = unit_session::read_settings(now, why); read != exit_done)
        return read;
    if (now == saved)
        return exit_done;
    bool restore = false;
    if (inv.restore)
        restore = *inv.restore;
    else if (console::input_is_terminal())
        restore =
            console::ask(QStringLiteral("Восстановить настройки, сохранённые перед обновлением?"), true);
    if (!restore) {
        console::out(
            QStringLiteral("Настройки не восстановлены; восстановить: rv390pkta-cli --unit %1 load <файл>")
                .arg(console::printable(unit.identity.serial)));
        return exit_done;
    }
    if (!unit_session::write_block(from_bytes(saved), why))
        return exit_failed;
    console::out(QStringLiteral("Настройки восстановлены"));
    return exit_done;
}
} // namespace

int run_update(const Invocation& inv) {
    // Two writers would interleave their multi-report messages: the window must not run meanwhile.
    if (instance_running()) {
        console::err(
            QStringLiteral("окно программы rv390pkta запущено: закройте его и повторите обновление"));
        return exit_failed;
    }
    const QString file = inv.operands.value(0);
    UpdateHeader header;
    try {
        header = read_header(load_update_file(file));
    } catch (const UpdateFileError& e) {
        console::err(QString::fromStdString(e.what()));
        return exit_failed;
    }
    const QString name = QString::fromLatin1(header.inf.name);
    console::out(QStringLiteral("Файл обновления: %1, версия %2.%3")
                     .arg(name)
                     .arg(header.inf.version[0])
                     .arg(header.inf.version[1]));

    return for_each_unit(inv, [&](const FoundUnit& unit, QString& why) {
        const QString serial = unit.identity.serial;
        const QString shown = console::printable(serial);
        if (!name_rule_accepts(header.inf, unit.identity.product)) {
            why = QStringLiteral("Неверный файл! Файл для «%1», блок — «%2»")
                      .arg(name, console::printable(unit.identity.product));
            return exit_failed;
        }
        if (!inv.yes && console::input_is_terminal() &&
            !console::ask(QStringLiteral("Обновить ПО блока %1 (версия %2) файлом %3 %4.%5?")
                              .arg(shown, unit.identity.version, name)
                              .arg(header.inf.version[0])
                              .arg(header.inf.version[1]),
                          false)) {
            why = QStringLiteral("обновление отменено");
            return exit_failed;
        }
        std::optional<TparBytes> saved;
        if (!unit.boot_loader) {
            TparBytes block;
            if (const ExitStatus read = unit_session::read_settings(block, why); read != exit_done)
                return read;
            saved = save_backup_first(serial);
            // Followed by serial from here on: the restarts may give the unit another path.
            choose_unit(serial);
            console::out(QStringLiteral("%1: переход в режим загрузчика…").arg(shown));
            if (!enter_boot_loader(unit)) {
                why = QStringLiteral("блок не перешёл в режим загрузчика за %1 с")
                          .arg(boot_loader_limit.count());
                return exit_failed;
            }
        } else {
            saved = save_backup_first(serial);
            // Reopened by serial from here on: the restarts may give the unit another path.
            if (const ExitStatus again = unit_session::open(unit, why, true); again != exit_done)
                return again;
        }

        unit_session::reset_update_result();
        console::Progress progress(QStringLiteral("%1: запись").arg(shown));
        UpdateSteps steps;
        steps.progress = [&](int percent) { progress.show(percent); };
        const UpdateResult result = run_update(
            file, unit_session::opened().product, steps,
            [](const Request& r) { return mailbox.send_and_wait(r); }, post_holding_for_answer);
        progress.finish();
        switch (result.outcome) {
        case UpdateOutcome::sent:
            break;
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
        if (!unit_session::wait_until([] { return unit_session::update_result().has_value(); },
                                      result_limit)) {
            why = QStringLiteral("блок не сообщил результат обновления за %1 с").arg(result_limit.count());
            return exit_failed;
        }
        if (!*unit_session::update_result()) {
            why = QStringLiteral("Ошибка в процессе обновления! Повторите попытку");
            return exit_failed;
        }
        console::out(QStringLiteral("%1: Обновление завершено успешно!").arg(shown));
        if (!unit_session::wait_until(
                [&] {
                    return unit_session::is_open() && !unit_session::in_boot_loader() &&
                           unit_session::opened().serial == serial;
                },
                back_limit)) {
            why = QStringLiteral("блок не вернулся в обычный режим за %1 с").arg(back_limit.count());
            return exit_failed;
        }
        console::out(
            QStringLiteral("%1: блок работает, версия ПО %2").arg(shown, unit_session::opened().version));
        return saved ? offer_restore(inv, unit, *saved, why) : exit_done;
    });
}
