// Printing a block: names and numbers from the settings fields, the identity from discovery.
#include "cli/block_output.h"

#include "cli/console.h"

#include "cli/settings_document.h"
#include "cli/settings_fields.h"

QJsonObject block_json(const UnitIdentity& unit, const TparBytes& raw) {
    QJsonObject o{{QStringLiteral("schema_version"), settings_document::schema_version},
                  {QStringLiteral("serial"), unit.serial},
                  {QStringLiteral("product"), unit.product},
                  {QStringLiteral("version"), unit.version},
                  {QStringLiteral("path"), unit.path}};
    for (const auto& [key, value] : settings_fields::describe(from_bytes(raw)))
        o.insert(key, QJsonValue::fromVariant(value));
    o.insert(QStringLiteral("raw"), settings_fields::hex(raw));
    return o;
}

QStringList block_lines(const UnitIdentity& unit, const TparBytes& raw) {
    QStringList lines{QStringLiteral("Блок %1 (%2, ПО %3, %4)")
                          .arg(console::printable(unit.serial), console::printable(unit.product),
                               unit.version, console::printable(unit.path))};
    for (const auto& [key, value] : settings_fields::describe(from_bytes(raw)))
        lines << QStringLiteral("  %1 %2").arg(key, -16).arg(value.toString());
    lines << QStringLiteral("  %1 %2").arg(QStringLiteral("raw"), -16).arg(settings_fields::hex(raw));
    return lines;
}
