// Field names, values and the parsing of KEY=VALUE pairs for the settings block.
#include "cli/settings_fields.h"

#include "ui/settings_table.h"
#include "ui/source_names.h"

#include <QMap>

#include <algorithm>

#include <optional>

namespace settings_fields {

namespace {

const SettingsField& field(const char* key) {
    return *settings_field(key); // the keys named here are the table's own
}

QStringList names_of(const char* key) {
    QStringList names;
    for (const char* n : field(key).names)
        names << QString::fromUtf8(n);
    return names;
}

struct Level {
    const char* key;
    int8_t Tpar::*member;
};
const Level levels[] = {
    {"analog_gain", &Tpar::xlr_gain}, {"zero_db", &Tpar::db0}, {"headroom", &Tpar::headroom}};

QString source_key(int n) {
    return QStringLiteral("source%1").arg(n + 1);
}

// Names compare without case and blanks: "sdi5" and "SDI 5" are the same source.
QString folded(const QString& s) {
    QString f = s.toLower();
    f.remove(QLatin1Char(' '));
    return f;
}

std::optional<int> integer_in(const QString& value, int low, int high) {
    bool ok = false;
    const int v = value.trimmed().toInt(&ok);
    if (!ok || v < low || v > high)
        return std::nullopt;
    return v;
}

std::optional<int> name_in(const QString& value, const QStringList& names) {
    for (qsizetype i = 0; i < names.size(); ++i)
        if (folded(value) == folded(names[i]))
            return static_cast<int>(i);
    return std::nullopt;
}

QString whole_range(int low, int high) {
    return QStringLiteral("целое число от %1 до %2").arg(low).arg(high);
}

QString one_of(const QStringList& names) {
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" или ") + names.last();
}

} // namespace

QStringList keys() {
    QStringList k;
    for (const SettingsField& f : settings_table())
        k << QLatin1String(f.key);
    return k;
}

std::vector<std::pair<QString, QVariant>> describe(const Tpar& block) {
    Tpar p = block;
    sanitise(p);
    std::vector<std::pair<QString, QVariant>> out;
    out.emplace_back(QStringLiteral("selector"), p.but + 1);
    out.emplace_back(QStringLiteral("primary_group"), p.group[0] + 1);
    out.emplace_back(QStringLiteral("secondary_group"), p.group[1] + 1);
    const QStringList names = source_names(p.group[0], p.group[1]);
    for (int n = 0; n < 8; ++n)
        out.emplace_back(source_key(n), names.value(p.src[n]));
    for (const Level& l : levels)
        out.emplace_back(QLatin1String(l.key), int(p.*l.member));
    out.emplace_back(QStringLiteral("scale"), names_of("scale").value(p.scale));
    out.emplace_back(QStringLiteral("indicators"), names_of("indicators").value(p.ind));
    out.emplace_back(QStringLiteral("agr"), names_of("agr").value(p.agr != 0 ? 1 : 0));
    return out;
}

QString hex(const TparBytes& bytes) {
    QStringList pairs;
    for (uint8_t b : bytes)
        pairs << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(QLatin1Char(' '));
}

Change apply(const Tpar& current, const QStringList& pairs, bool unit_known) {
    Change change;
    Tpar& p = change.block;
    p = current;
    sanitise(p);

    // Every pair is looked at before anything is applied: the whole line is taken, or none of it.
    QMap<QString, QString> asked;
    for (const QString& pair : pairs) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        const QString key = eq < 0 ? pair : pair.left(eq);
        if (eq < 0) {
            change.errors << QStringLiteral("«%1»: нужна пара КЛЮЧ=ЗНАЧЕНИЕ").arg(pair);
        } else if (!keys().contains(key)) {
            change.errors << QStringLiteral("«%1»: неизвестный ключ; ключи: %2").arg(key, keys().join(", "));
        } else if (asked.contains(key)) {
            change.errors << QStringLiteral("%1: ключ указан дважды").arg(key);
        } else {
            asked.insert(key, pair.mid(eq + 1));
        }
    }
    const auto bad = [&](const QString& key, const QString& accepted) {
        change.errors << QStringLiteral("%1=%2: допустимо: %3").arg(key, asked.value(key), accepted);
    };

    // Groups, then the sources by the names the new groups give them.
    std::optional<int> group[2];
    const char* group_keys[2] = {"primary_group", "secondary_group"};
    for (int g = 0; g < 2; ++g) {
        const QString key = QLatin1String(group_keys[g]);
        if (!asked.contains(key))
            continue;
        const SettingsField& f = field(group_keys[g]);
        group[g] = integer_in(asked.value(key), f.low + 1, f.high + 1);
        if (!group[g])
            bad(key, whole_range(f.low + 1, f.high + 1));
        else
            *group[g] -= 1;
    }
    if (group[0] && group[1]) {
        if (*group[0] == *group[1])
            change.errors << QStringLiteral("primary_group и secondary_group: группы должны различаться");
        p.group[0] = static_cast<uint8_t>(*group[0]);
        p.group[1] = static_cast<uint8_t>(*group[1]);
    } else {
        for (int g = 0; g < 2; ++g) {
            if (!group[g])
                continue;
            const int taken = distinct_group(*group[g], p.group[1 - g]);
            if (taken != *group[g])
                change.notes << QStringLiteral("%1: группа %2 уже выбрана как другая, взята группа %3")
                                    .arg(QLatin1String(group_keys[g]))
                                    .arg(*group[g] + 1)
                                    .arg(taken + 1);
            p.group[g] = static_cast<uint8_t>(taken);
        }
    }
    const QStringList names = source_names(p.group[0], p.group[1]);
    for (int n = 0; n < 8; ++n) {
        const QString key = source_key(n);
        if (!asked.contains(key))
            continue;
        const QString value = asked.value(key);
        std::optional<int> position = name_in(value, names);
        if (!position)
            if (const auto number = integer_in(value, 1, field("source1").high + 1))
                position = *number - 1;
        if (!position && !unit_known && name_in(value, source_names(0, 1) + source_names(2, 3)))
            continue;
        if (position)
            p.src[n] = static_cast<uint8_t>(*position);
        else
            bad(key, QStringLiteral("источник групп %1 и %2 (%3) или номер в списке от 1 до %4")
                         .arg(p.group[0] + 1)
                         .arg(p.group[1] + 1)
                         .arg(names.join(QStringLiteral(", ")))
                         .arg(field("source1").high + 1));
    }

    if (asked.contains(QStringLiteral("selector"))) {
        const SettingsField& f = field("selector");
        if (const auto v = integer_in(asked.value(QStringLiteral("selector")), f.low + 1, f.high + 1))
            p.but = static_cast<uint8_t>(*v - 1);
        else
            bad(QStringLiteral("selector"), whole_range(f.low + 1, f.high + 1));
    }
    for (const Level& l : levels) {
        const QString key = QLatin1String(l.key);
        if (!asked.contains(key))
            continue;
        const SettingsField& f = field(l.key);
        if (const auto v = integer_in(asked.value(key), f.low, f.high))
            p.*l.member = static_cast<int8_t>(*v);
        else
            bad(key, whole_range(f.low, f.high));
    }
    const auto named = [&](const char* key_name, const QStringList& names_of, uint8_t Tpar::*field) {
        const QString key = QLatin1String(key_name);
        if (!asked.contains(key))
            return;
        if (const auto v = name_in(asked.value(key), names_of))
            p.*field = static_cast<uint8_t>(*v);
        else
            bad(key, one_of(names_of));
    };
    named("scale", names_of("scale"), &Tpar::scale);
    named("indicators", names_of("indicators"), &Tpar::ind);
    named("agr", names_of("agr"), &Tpar::agr);
    return change;
}

QStringList check_bytes(const QByteArray& bytes) {
    QStringList errors;
    const qsizetype n = std::min<qsizetype>(bytes.size(), qsizetype(sizeof(Tpar)));
    for (const SettingsField& f : settings_table()) {
        if (qsizetype(f.offset) >= n)
            break;
        const auto b = static_cast<uint8_t>(bytes[qsizetype(f.offset)]);
        const int v = f.is_signed ? int(static_cast<int8_t>(b)) : int(b);
        if (v < f.low || v > f.high)
            errors << QStringLiteral("байт %1 (%2) равен %3, допустимо от %4 до %5")
                          .arg(f.offset)
                          .arg(QLatin1String(f.key))
                          .arg(v)
                          .arg(f.low)
                          .arg(f.high);
    }
    if (n >= 3 && bytes[1] == bytes[2])
        errors << QStringLiteral("байты 1 и 2 (primary_group и secondary_group) равны: группы должны "
                                 "различаться");
    return errors;
}

std::vector<Difference> compare(const Tpar& first, const Tpar& second) {
    const auto a = describe(first);
    const auto b = describe(second);
    std::vector<Difference> out;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].second != b[i].second)
            out.push_back({a[i].first, a[i].second, b[i].second});
    return out;
}

QStringList differences(const Tpar& wanted, const Tpar& held) {
    QStringList out;
    for (const Difference& d : compare(wanted, held))
        out << QStringLiteral("%1: записано %2, блок хранит %3")
                   .arg(d.key, d.first.toString(), d.second.toString());
    return out;
}

} // namespace settings_fields
