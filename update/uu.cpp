// Update window: showing, the poll timer, closing, and the result of an update.
#include "update/uu.h"

#include "core/link_flags.h"
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"

#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

Tfu* fu = nullptr;

Tfu::Tfu(QWidget* parent) : QDialog(parent), cancel(new QPushButton(QStringLiteral("Закрыть"), this)) {
    fu = this;
    setWindowTitle(QStringLiteral("Update FW"));
    // Fixed frame without title-bar buttons: the window closes through "Закрыть" only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    cancel->setFixedWidth(127);
    layout->addWidget(cancel);
    layout->addStretch();
    connect(cancel, &QPushButton::clicked, this, &Tfu::cancelClick);

    connect(&tmrb, &QTimer::timeout, this, &Tfu::tmrbTimer);
    tmrb.start(2000);

    ui_hooks.update_result = [this](bool ok) { finishReply(ok); };
    ui_hooks.defaults_reset = [this] { defaultsReply(); };
}

Tfu::~Tfu() {
    ui_hooks.update_result = nullptr;
    ui_hooks.defaults_reset = nullptr;
    if (fu == this)
        fu = nullptr;
}

void Tfu::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void Tfu::FormShow() {
    upd_done = false;
    upd_busy = false;
}

void Tfu::tmrbTimer() {
    if (upd_done) {
        if (isVisible())
            done(QDialog::Accepted); // ends the modal showing
        return;
    }
    tmrb.setInterval(200);
    if (isVisible() && !upd_busy && !boot_mode.load(std::memory_order_acquire))
        mailbox.post(Request{cmd_upd_poll, {}, false});
}

void Tfu::cancelClick() {
    upd_busy = false;
    mailbox.post(Request{cmd_upd_close, {}, false});
    done(QDialog::Rejected);
}

void Tfu::reject() {
    cancelClick();
}

void Tfu::info(const QString& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(update_caption), text, QMessageBox::Ok, this);
    box.exec();
}

void Tfu::finishReply(bool ok) {
    info(ok ? QStringLiteral("Обновление завершено успешно!")
            : QStringLiteral("Ошибка в процессе обновления!\r\nПовторите попытку"));
    // Only once the box is gone: the next tick, 100 ms later, closes the window.
    upd_done = true;
    upd_busy = false;
    tmrb.setInterval(100);
}

void Tfu::defaultsReply() {
    info(QStringLiteral("Настройки сброшены!"));
}
