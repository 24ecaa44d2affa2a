// Process entry: the single-instance check, the two windows, the message loop.
#include "core/command_line.h"
#include "core/qt_translations.h"
#include "core/single_instance.h"
#include "core/ui_handover.h"
#include "protocol/link.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
    if (const auto code = handle_command_line(argc, argv))
        return *code; // --version or --help
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("org.rv390pkta.RV390PKTA"));

    SingleInstance instance;
    if (instance.forwarded_to_running())
        return 0;
    if (!instance.error().isEmpty())
        // The utility runs all the same; only a later start cannot bring this window forward.
        qWarning("rv390pkta: a second start will not find this one: %s", qPrintable(instance.error()));

    // Qt's own buttons and file dialog speak Russian too; without the translation they stay English.
    install_qt_translations();
    // The window program's one link: the first unit found, or the one the update window keeps to.
    UiHandover handover;
    Link link(handover);
    Tfu update_window(link); // hidden until the operator opens it
    Tfmain main_window(link, &update_window);
    QObject::connect(&link, &Link::error, &main_window, [&main_window](const QString& text) {
        QMessageBox::critical(&main_window, QStringLiteral("RV-390PKTA"), text);
    });
    instance.on_show([&main_window] {
        main_window.showNormal();
        main_window.raise();
        main_window.activateWindow();
    });

    main_window.show();
    main_window.activateWindow();
    // The link stops its worker and leaves the library as it goes, after the windows.
    return QApplication::exec();
}
