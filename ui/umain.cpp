// Main window: placement, activation and closing, the settings poll, enabling and refreshing.
#include "ui/umain.h"

#include "core/Tthr.h"
#include "core/link_flags.h"
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/USB.h"
#include "protocol/commands.h"
#include "update/uu.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QScreen>
#include <QVBoxLayout>

Tfmain* fmain = nullptr;

Tfmain::Tfmain() : controls_(new QWidget(this)) {
    fmain = this;
    setWindowTitle(QStringLiteral("RV-390PKTA"));
    // Close box only: no minimise or maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setCentralWidget(controls_);
    controls_->setMinimumSize(628, 479);
    connect(&tmr, &QTimer::timeout, this, &Tfmain::tmrTimer);
    tmr.start(200);
    ui_hooks.refresh = [this] { refresh(); };
    FormCreate();
}

Tfmain::~Tfmain() {
    ui_hooks.refresh = nullptr;
    if (fmain == this)
        fmain = nullptr;
}

void Tfmain::FormCreate() {
    adjustSize();
    if (const QScreen* screen = this->screen()) {
        const QRect s = screen->geometry();
        move(s.width() / 2 - width() / 2, s.height() / 2 - height() / 2);
    }
    Cont(false);
}

void Tfmain::Cont(bool enable) {
    for (QWidget* w : controls_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        w->setEnabled(enable);
}

void Tfmain::refresh() {
    // Each control shows its byte of `par` unless it holds the focus; the controls come with the
    // settings view of the window.
}

void Tfmain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        run_or_hold([this] { FormActivate(); });
}

void Tfmain::FormActivate() {
    if (activating_ || !isVisible())
        return;
    activating_ = true;
    const bool ok = usb_init();
    activating_ = false;
    if (ok)
        return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Обновление программного обеспечения"),
                    QStringLiteral("Не удалось инициализировать USB!"), QMessageBox::Ok | QMessageBox::Cancel,
                    fu);
    box.exec();
    close(); // whichever button: the application ends
}

void Tfmain::closeEvent(QCloseEvent* event) {
    FormClose();
    QMainWindow::closeEvent(event);
}

void Tfmain::FormClose() {
    thr.Terminate();
}

void Tfmain::tmrTimer() {
    if (!boot_mode.load(std::memory_order_acquire))
        mailbox.post(Request{cmd_get_par, {}, false});
}
