// Parsing the command line: which options each command takes and how many operands.
#include "cli/arguments.h"

#include "cli/command_table.h"
#include "ui/settings_table.h"

Invocation parse_arguments(const QStringList& arguments) {
    Invocation inv;
    QStringList options;
    bool only_operands = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (only_operands || !a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            if (inv.command.isEmpty())
                inv.command = a;
            else
                inv.operands << a;
        } else if (a == QLatin1String("--")) {
            only_operands = true;
        } else if (a == QLatin1String("--unit") || a.startsWith(QLatin1String("--unit="))) {
            if (a == QLatin1String("--unit")) {
                if (++i == arguments.size())
                    throw UsageError(QStringLiteral("после --unit нужен серийный номер или путь блока"));
                inv.unit = arguments[i];
            } else {
                inv.unit = a.mid(7);
            }
            if (inv.unit.isEmpty())
                throw UsageError(QStringLiteral("--unit: пустой серийный номер"));
            options << QStringLiteral("--unit");
        } else if (a == QLatin1String("--jobs") || a.startsWith(QLatin1String("--jobs="))) {
            QString n;
            if (a == QLatin1String("--jobs")) {
                if (++i == arguments.size())
                    throw UsageError(QStringLiteral("после --jobs нужно число блоков"));
                n = arguments[i];
            } else {
                n = a.mid(7);
            }
            bool number = false;
            inv.jobs = n.toInt(&number);
            if (!number || inv.jobs < 1 || inv.jobs > max_jobs)
                throw UsageError(
                    QStringLiteral("--jobs %1: нужно целое число от 1 до %2").arg(n).arg(max_jobs));
            options << QStringLiteral("--jobs");
        } else if (a == QLatin1String("--ember") || a.startsWith(QLatin1String("--ember="))) {
            // Its address may be left out: the next word is it unless it is an option.
            if (a != QLatin1String("--ember"))
                inv.ember = a.mid(8);
            else if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1Char('-')))
                inv.ember = arguments[++i];
            else
                inv.ember = QString();
            options << QStringLiteral("--ember");
        } else if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            inv.command = QStringLiteral("help");
            return inv;
        } else if (a == QLatin1String("--version")) {
            inv.command = QStringLiteral("version");
            return inv;
        } else {
            options << a;
        }
    }
    if (inv.command.isEmpty())
        throw UsageError(QStringLiteral("не указана команда (%1)").arg([] {
            QStringList names;
            for (const CommandRule& r : command_table())
                if (r.run)
                    names << QLatin1String(r.name);
            return names.join(QStringLiteral(", "));
        }()));
    const CommandRule* rule = command_rule(inv.command);
    if (!rule)
        throw UsageError(QStringLiteral("неизвестная команда «%1»").arg(inv.command));
    for (const QString& o : options) {
        const bool known = rule->allows(o) || (o == QLatin1String("--unit") && rule->takes_unit) ||
                           ((o == QLatin1String("--all") || o == QLatin1String("--jobs")) && rule->takes_all);
        if (!known)
            throw UsageError(QStringLiteral("команда %1 не принимает параметр %2").arg(inv.command, o));
        inv.all = inv.all || o == QLatin1String("--all");
        inv.json = inv.json || o == QLatin1String("--json");
        inv.yes = inv.yes || o == QLatin1String("--yes");
        inv.no_header = inv.no_header || o == QLatin1String("--no-header");
        inv.check = inv.check || o == QLatin1String("--check");
        inv.diff = inv.diff || o == QLatin1String("--diff");
        inv.read_only = inv.read_only || o == QLatin1String("--read-only");
        if (o == QLatin1String("--restore") || o == QLatin1String("--no-restore")) {
            const bool restore = o == QLatin1String("--restore");
            if (inv.restore && *inv.restore != restore)
                throw UsageError(QStringLiteral("--restore и --no-restore исключают друг друга"));
            inv.restore = restore;
        }
    }
    if (inv.command == QLatin1String("serve") && !inv.ember)
        throw UsageError(QStringLiteral("команде serve нужен --ember [АДРЕС:]ПОРТ"));
    if (inv.all && !inv.unit.isEmpty())
        throw UsageError(QStringLiteral("--unit и --all исключают друг друга"));
    const auto n = static_cast<int>(inv.operands.size());
    if (n < rule->min_operands)
        throw UsageError(
            QStringLiteral("команде %1 нужен %2").arg(inv.command, QString::fromUtf8(rule->operands)));
    if (rule->max_operands >= 0 && n > rule->max_operands)
        throw UsageError(QStringLiteral("лишний аргумент «%1»").arg(inv.operands.value(rule->max_operands)));
    return inv;
}

namespace {
// What a key takes, as the table has it: "1..4", "-32..16" or "off|on".
QString values(const char* key) {
    const SettingsField& f = *settings_field(key);
    if (!f.names.empty()) {
        QStringList names;
        for (const char* n : f.names)
            names << QLatin1String(n);
        return names.join(QLatin1Char('|'));
    }
    const int shown = f.from_one ? 1 : 0;
    return QStringLiteral("%1..%2").arg(f.low + shown).arg(f.high + shown);
}
} // namespace

QString cli_usage() {
    return QStringLiteral(
               "rv390pkta-cli — настройка и обновление блоков RV-390PKTA из командной строки\n"
               "\n"
               "Использование: rv390pkta-cli КОМАНДА [--unit СЕРИЙНЫЙ_НОМЕР|ПУТЬ | --all [--jobs N]] "
               "[параметры]\n"
               "\n"
               "Команды:\n"
               "  list [--json] [--no-header]       подключённые блоки (серийный номер — первый столбец)\n"
               "  show [--json]                     настройки блока\n"
               "  set КЛЮЧ=ЗНАЧЕНИЕ...              изменить настройки (записываются одним блоком)\n"
               "  save ФАЙЛ                         сохранить настройки в файл конфигурации (.cfg)\n"
               "  load ФАЙЛ                         загрузить настройки из файла конфигурации\n"
               "  reset [--yes]                     установить значения по умолчанию\n"
               "  update ФАЙЛ.voku [--yes] [--restore|--no-restore] [--json]\n"
               "                                    обновить ПО блока\n"
               "  check [--json] ФАЙЛ               сравнить настройки с файлом (.cfg или .json)\n"
               "  apply [--check] [--diff] [--json] ФАЙЛ.json\n"
               "                                    записать только то, что отличается от документа\n"
               "  monitor [--json]                  показывать настройки при каждом изменении (Ctrl+C — "
               "выход)\n"
               "  serve --ember [АДРЕС:]ПОРТ [--read-only]\n"
               "                                    блоки как поставщик Ember+ (по умолчанию 127.0.0.1:9000)\n"
               "\n"
               "Ключи: selector (%1), primary_group, secondary_group (%2), source1 ... source8\n"
               "(имя источника, например \"SDI 5\", \"AES 1L\", ANALOG_R, 1000Hz, или номер в списке %3),\n"
               "analog_gain (%4), zero_db (%5), headroom (%6), scale (%7),\n"
               "indicators (%8), agr (%9).\n"
               "\n"
               "Когда подключено несколько блоков, укажите --unit или --all. С --all команды set, reset и\n"
               "load сначала проверяют все блоки: если хоть один не может принять настройки, не пишется ни в "
               "один.\n"
               "С --all блоки обрабатываются одновременно, по --jobs за раз (по умолчанию 8; --jobs 1 — по "
               "очереди);\nкаждая строка начинается с серийного номера блока.\n"
               "Коды выхода: 0 — выполнено; 1 — блок отказал или произошла ошибка; 2 — ошибка в командной\n"
               "строке или пара, которую блок не может принять (ничего не записано); 3 — блок не найден;\n"
               "4 — нет прав доступа к блоку; 129, 130, 143 — прервано сигналом SIGHUP, SIGINT, SIGTERM.\n"
               "Подробнее: man rv390pkta-cli.\n")
        .arg(values("selector"), values("primary_group"), values("source1"), values("analog_gain"),
             values("zero_db"), values("headroom"), values("scale"), values("indicators"), values("agr"));
}
