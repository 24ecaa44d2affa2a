// The JSON shapes the command line's manual page documents, read from the page itself, so that a test
// can hold the program's real output against what its users were told.
#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QStringList>

#include <initializer_list>

class JsonManual {
public:
    // The blocks of the page that begin with a `.\" schema NAME` line and end at `.fi`: a member a line,
    // "name type [optional]".
    explicit JsonManual(const QString& page) {
        QFile file(page);
        if (!file.open(QIODevice::ReadOnly))
            return;
        QString shape;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String(".\\\" schema "))) {
                shape = line.mid(11).trimmed();
                shapes_[shape];
            } else if (line == QLatin1String(".fi")) {
                shape.clear();
            } else if (!shape.isEmpty()) {
                const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
                if (words.size() >= 2)
                    shapes_[shape].append({words[0], words[1].split(QLatin1Char('|')),
                                           words.value(2) == QLatin1String("optional")});
            }
        }
    }
    bool read() const { return !shapes_.isEmpty(); }

    // What in `o` the named shapes (together) do not document, or miss; empty when it conforms.
    QStringList problems(const QJsonObject& o, std::initializer_list<const char*> names) const {
        QStringList found;
        QMap<QString, Member> members;
        for (const char* name : names) {
            if (!shapes_.contains(QLatin1String(name)))
                found << QStringLiteral("no shape %1 in the manual").arg(QLatin1String(name));
            for (const Member& m : shapes_.value(QLatin1String(name)))
                members.insert(m.name, m);
        }
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (!members.contains(it.key()))
                found << QStringLiteral("undocumented member %1").arg(it.key());
            else if (!members[it.key()].types.contains(type_of(it.value())))
                found << QStringLiteral("%1 is %2").arg(it.key(), type_of(it.value()));
        }
        for (const Member& m : members)
            if (!m.optional && !o.contains(m.name))
                found << QStringLiteral("missing member %1").arg(m.name);
        return found;
    }

    // The shape an object of the program's output has: an error, or by its event.
    QStringList problems(const QJsonObject& o) const {
        const QString event = o.value(QStringLiteral("event")).toString();
        if (o.contains(QStringLiteral("error")))
            return problems(o, {"error"});
        if (event == QLatin1String("settings"))
            return problems(o, {"settings", "settings_event"});
        if (event == QLatin1String("progress"))
            return problems(o, {"progress"});
        if (event == QLatin1String("updated"))
            return problems(o, {"updated"});
        return problems(o, {"unit_event"});
    }

private:
    struct Member {
        QString name;
        QStringList types;
        bool optional;
    };
    static QString type_of(const QJsonValue& v) {
        switch (v.type()) {
        case QJsonValue::Null:
            return QStringLiteral("null");
        case QJsonValue::Bool:
            return QStringLiteral("boolean");
        case QJsonValue::Double:
            return QStringLiteral("number");
        case QJsonValue::String:
            return QStringLiteral("string");
        case QJsonValue::Array:
            return QStringLiteral("array");
        default:
            return QStringLiteral("object");
        }
    }
    QMap<QString, QList<Member>> shapes_;
};
