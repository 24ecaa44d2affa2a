// Qt's own Russian translation, installed for the length of a test.
#pragma once

#include "core/qt_translations.h"

#include <QTranslator>

#include <memory>

// Empty (false) when Qt's Russian translation is not installed on this machine.
class QtRussian {
public:
    explicit operator bool() const { return translator_ != nullptr; }

private:
    // Deleting a translator also uninstalls it, so later tests in the process see Qt's English.
    std::unique_ptr<QTranslator> translator_{install_qt_translations()};
};
