// check and apply: the units held against a settings file; apply writes only what differs.
#include "cli/commands.h"

#include "cli/block_output.h"
#include "cli/console.h"
#include "cli/json_output.h"
#include "cli/settings_document.h"
#include "cli/settings_fields.h"
#include "cli/unit_jobs.h"
#include "cli/unit_session.h"
#include "ui/config_file.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>

namespace {

// What a file asks of a unit: its block made from the unit's own, as load would make it.
struct Wanted {
    QByteArray head;   // a configuration file's bytes, or
    QStringList pairs; // a settings document's named fields
    bool document = false;
    QString shown; // the file's name as the operator wrote it

    Tpar from(const Tpar& current, QString& why) const {
        if (!document) {
            Tpar next = current;
            config_file::overlay(next, head);
            return next;
        }
        const settings_fields::Change change = settings_fields::apply(current, pairs);
        why = change.errors.join(QStringLiteral("; "));
        return change.block;
    }
};

// Reads the file once and checks what it asks before any unit is read. False, with `why` set.
bool read_wanted(const QString& file, bool document_only, Wanted& w, QString& why) {
    w.shown = QDir::toNativeSeparators(file);
    w.document = settings_document::is_document(file);
    if (document_only && !w.document) {
        why =
            QStringLiteral("«%1»: нужен документ настроек (.json, как его выводит show --json)").arg(w.shown);
    } else if (w.document) {
        if (settings_document::read(file, w.pairs, why)) {
            const settings_fields::Change dry = settings_fields::apply(default_par, w.pairs, false);
            why = dry.errors.isEmpty() ? QString()
                                       : QStringLiteral("файл «%1» не принят: %2")
                                             .arg(w.shown, dry.errors.join(QStringLiteral("; ")));
        }
    } else if (QString reason; !config_file::read_head(file, w.head, reason)) {
        why = QStringLiteral("не удалось прочитать файл «%1»: %2").arg(w.shown, reason);
    } else if (const QStringList wrong = settings_fields::check_bytes(w.head);
               !wrong.isEmpty() || w.head.isEmpty()) {
        why = QStringLiteral("файл конфигурации «%1» не принят: %2")
                  .arg(w.shown,
                       w.head.isEmpty() ? QStringLiteral("файл пуст") : wrong.join(QStringLiteral("; ")));
    } else {
        w.head.truncate(qsizetype(sizeof(Tpar)));
    }
    return why.isEmpty();
}

Tpar as_shown(const TparBytes& block) {
    Tpar p = from_bytes(block);
    sanitise(p);
    return p;
}

QJsonArray differences_json(const std::vector<settings_fields::Difference>& diffs, const char* first,
                            const char* second) {
    QJsonArray out;
    for (const auto& d : diffs)
        out.append(QJsonObject{{QStringLiteral("key"), d.key},
                               {QLatin1String(first), QJsonValue::fromVariant(d.first)},
                               {QLatin1String(second), QJsonValue::fromVariant(d.second)}});
    return out;
}

// Reads the file once, then for each unit its settings and what the file makes of them, and hands both
// to `act`; in JSON mode the results it sets are printed as one document at the end.
using Act = std::function<ExitStatus(UnitSession& s, const Wanted& wanted, const Tpar& held,
                                     const Tpar& asked, QString& why)>;
int against_file(UnitSession& session, const Invocation& inv, bool document_only, const Act& act) {
    Wanted wanted;
    if (QString why; !read_wanted(inv.operands.value(0), document_only, wanted, why))
        return command_failed(inv, exit_failed, why + QStringLiteral("; ничего не отправлено"));
    return for_each_unit(session, inv, [&](UnitSession& s, const FoundUnit&, QString& why) {
        TparBytes block;
        if (const ExitStatus read = s.read_settings(block, why); read != exit_done)
            return read;
        const Tpar held = as_shown(block);
        const Tpar asked = wanted.from(held, why);
        if (!why.isEmpty())
            return exit_failed; // a source name the unit's groups do not have
        return act(s, wanted, held, asked, why);
    });
}

} // namespace

int run_check(const Invocation& inv, UnitSession& session) {
    return against_file(
        session, inv, false,
        [&](UnitSession& s, const Wanted& wanted, const Tpar& held, const Tpar& asked, QString& why) {
            const auto diffs = settings_fields::compare(asked, held);
            if (inv.json) {
                s.result = json_output::object(
                    {{QStringLiteral("serial"), s.opened().serial},
                     {QStringLiteral("match"), diffs.empty()},
                     {QStringLiteral("differences"), differences_json(diffs, "file", "unit")}});
            } else if (diffs.empty()) {
                s.tell(QStringLiteral("совпадает с «%1»").arg(wanted.shown));
            } else {
                QStringList lines{QStringLiteral("отличается от «%1»:").arg(wanted.shown)};
                for (const auto& d : diffs)
                    lines << QStringLiteral("  %1 %2 в файле, %3 в блоке")
                                 .arg(d.key, -16)
                                 .arg(d.first.toString(), d.second.toString());
                s.tell_lines(lines);
            }
            if (diffs.empty())
                return exit_done;
            why = QStringLiteral("настройки отличаются от «%1»").arg(wanted.shown);
            return exit_failed;
        });
}

int run_apply(const Invocation& inv, UnitSession& session) {
    return against_file(
        session, inv, true,
        [&](UnitSession& s, const Wanted&, const Tpar& held, const Tpar& next, QString& why) {
            const auto diffs = settings_fields::compare(held, next);
            const bool change = !diffs.empty();
            if (change && !inv.check && !s.write_block(next, why))
                return exit_failed;
            if (inv.json) {
                s.result = json_output::object({{QStringLiteral("serial"), s.opened().serial},
                                                {QStringLiteral("changed"), change && !inv.check},
                                                {QStringLiteral("would_change"), change}});
                if (inv.diff || inv.check)
                    s.result.insert(QStringLiteral("differences"), differences_json(diffs, "was", "now"));
                return exit_done;
            }
            QStringList lines{!change ? QStringLiteral("без изменений")
                              : inv.check ? QStringLiteral("изменилось бы полей: %1").arg(diffs.size())
                                          : QStringLiteral("изменено полей: %1").arg(diffs.size())};
            if (inv.diff || inv.check)
                for (const auto& d : diffs)
                    lines << QStringLiteral("  %1 %2 → %3")
                                 .arg(d.key, -16)
                                 .arg(d.first.toString(), d.second.toString());
            s.tell_lines(lines);
            return exit_done;
        });
}
