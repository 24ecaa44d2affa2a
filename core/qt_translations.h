// Qt's own texts (standard buttons, the file dialog) in Russian, like the rest of the interface.
#pragma once

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QTranslator;
QT_END_NAMESPACE

// Installs Qt's Russian translation from Qt's translations folder into the running application, which
// owns it. Returns it, or nullptr when it is not installed there: Qt's texts then stay in English,
// which is no reason to stop.
QTranslator* install_qt_translations();
