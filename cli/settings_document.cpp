// Reading a settings document: JSON through QJsonDocument, the fields' values checked by settings_fields.
#include "cli/settings_document.h"

#include "cli/settings_fields.h"
#include "core/file_reason.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace settings_document {

namespace {
// What `show --json` says of the unit besides its settings: not settings, so not compared or sent.
bool identity_key(const QString& key) {
    for (const char* k : {"serial", "product", "version", "path", "raw"})
        if (key == QLatin1String(k))
            return true;
    return false;
}
} // namespace

bool is_document(const QString& file) {
    return file.endsWith(QLatin1String(".json"), Qt::CaseInsensitive);
}

bool read(const QString& file, QStringList& pairs, QString& why) {
    const QString shown = QDir::toNativeSeparators(file);
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("не удалось прочитать файл «%1»: %2").arg(shown, file_reason(f));
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        why = QStringLiteral("файл «%1» не JSON: %2 (байт %3)")
                  .arg(shown, error.errorString())
                  .arg(error.offset);
        return false;
    }
    if (!doc.isObject()) {
        why = QStringLiteral("файл «%1»: ожидался объект JSON с полями настроек").arg(shown);
        return false;
    }
    const QJsonObject o = doc.object();
    const QStringList keys = settings_fields::keys();
    QStringList wrong;
    pairs.clear();
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString& key = it.key();
        const QJsonValue& v = it.value();
        if (key == QLatin1String("schema_version")) {
            if (!v.isDouble() || v.toDouble() != schema_version)
                wrong << QStringLiteral("schema_version %1 не поддерживается (ожидается %2)")
                             .arg(v.isDouble() ? QString::number(v.toDouble()) : v.toVariant().toString())
                             .arg(schema_version);
            continue;
        }
        if (identity_key(key))
            continue;
        if (!keys.contains(key)) {
            wrong << QStringLiteral("«%1»: неизвестный ключ; ключи: %2")
                         .arg(key, keys.join(QStringLiteral(", ")));
            continue;
        }
        if (v.isString()) {
            pairs << key + QLatin1Char('=') + v.toString();
        } else if (v.isDouble() && std::trunc(v.toDouble()) == v.toDouble() && std::abs(v.toDouble()) < 1e6) {
            pairs << key + QLatin1Char('=') + QString::number(static_cast<long>(v.toDouble()));
        } else {
            wrong << QStringLiteral("«%1»: значение должно быть целым числом или названием").arg(key);
        }
    }
    if (!wrong.isEmpty()) {
        why = QStringLiteral("файл «%1» не принят: %2").arg(shown, wrong.join(QStringLiteral("; ")));
        return false;
    }
    if (pairs.isEmpty()) {
        why = QStringLiteral("в файле «%1» нет ни одного поля настроек").arg(shown);
        return false;
    }
    return true;
}

} // namespace settings_document
