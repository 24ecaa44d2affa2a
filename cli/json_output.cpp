// The JSON shapes shared by every command's output.
#include "cli/json_output.h"

#include "cli/settings_document.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace json_output {

QJsonObject object(std::initializer_list<std::pair<QString, QJsonValue>> fields) {
    QJsonObject o{{QStringLiteral("schema_version"), settings_document::schema_version}};
    for (const auto& [key, value] : fields)
        o.insert(key, value);
    return o;
}

QJsonObject event(const char* name, const QString& serial,
                  std::initializer_list<std::pair<QString, QJsonValue>> fields) {
    QJsonObject o =
        object({{QStringLiteral("event"), QLatin1String(name)}, {QStringLiteral("serial"), serial}});
    for (const auto& [key, value] : fields)
        o.insert(key, value);
    return o;
}

QString error_kind(int status) {
    switch (status) {
    case exit_usage:
        return QStringLiteral("usage");
    case exit_no_unit:
        return QStringLiteral("no_unit");
    case exit_no_permission:
        return QStringLiteral("no_permission");
    default:
        return status > 128 ? QStringLiteral("interrupted") : QStringLiteral("failed");
    }
}

QJsonObject error(int status, const QString& unit, const QString& message) {
    return object({{QStringLiteral("error"), error_kind(status)},
                   {QStringLiteral("unit"), unit.isEmpty() ? QJsonValue() : QJsonValue(unit)},
                   {QStringLiteral("exit_status"), status},
                   {QStringLiteral("message"), message}});
}

QString line(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString document(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson()).trimmed();
}

QString document(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson()).trimmed();
}

} // namespace json_output
