// Loading Qt's Russian translation.
#include "core/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

QTranslator* install_qt_translations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    // Russian whatever the system's locale: the program's own texts are Russian only.
    if (!translator->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}
