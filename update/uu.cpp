// Update window: showing, the poll timer, closing, and the result of an update.
#include "update/uu.h"

#include "core/link_flags.h"
#include "core/mailbox.h"
#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "update/update_file.h"

#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

Tfu* fu = nullptr;

namespace {
constexpr int control_width = 127;

QLineEdit* identity_field(QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setReadOnly(true);
    field->setAlignment(Qt::AlignCenter);
    field->setFixedWidth(control_width);
    return field;
}
} // namespace

Tfu::Tfu(QWidget* parent)
    : QDialog(parent), cancel(new QPushButton(QStringLiteral("Закрыть"), this)),
      dev_name(identity_field(this)), dev_serial(identity_field(this)), dev_version(identity_field(this)),
      OpenIndicator(new QFrame(this)), pb(new QProgressBar(this)),
      select(new QPushButton(QStringLiteral("ВЫБРАТЬ ФАЙЛ"), this)),
      def(new QPushButton(QStringLiteral("Сброс настроек"), this)) {
    fu = this;
    setWindowTitle(QStringLiteral("Update FW"));
    // Fixed frame without title-bar buttons: the window closes through "Закрыть" only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    font.setBold(true);
    setFont(font);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(233, 233, 233));
    setPalette(background);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    for (QPushButton* b : {cancel, select, def}) {
        b->setFixedWidth(control_width);
        b->setAccessibleName(b->text());
    }
    layout->addWidget(cancel);

    auto* Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::StyledPanel);
    auto* panel = new QVBoxLayout(Panel1);
    const auto labelled = [&](const QString& caption, QLineEdit* field, QWidget* beside = nullptr) {
        auto* label = new QLabel(caption, Panel1);
        label->setBuddy(field);
        field->setAccessibleName(caption);
        panel->addWidget(label, 0, Qt::AlignHCenter);
        auto* row = new QHBoxLayout;
        row->addWidget(field);
        if (beside)
            row->addWidget(beside);
        panel->addLayout(row);
    };
    OpenIndicator->setFixedSize(8, 20);
    OpenIndicator->setFrameShape(QFrame::Box);
    OpenIndicator->setAutoFillBackground(true);
    paintIndicator(Qt::white);
    labelled(QStringLiteral("Device"), dev_name, OpenIndicator);
    labelled(QStringLiteral("Serial"), dev_serial);
    labelled(QStringLiteral("Version"), dev_version);
    layout->addWidget(Panel1);

    pb->setRange(0, 100);
    pb->setValue(0);
    pb->setFixedWidth(control_width);
    layout->addWidget(pb);
    select->setEnabled(false);
    layout->addWidget(select);
    layout->addWidget(def);
    connect(cancel, &QPushButton::clicked, this, &Tfu::cancelClick);
    connect(def, &QPushButton::clicked, this, &Tfu::defClick);
    connect(select, &QPushButton::clicked, this, &Tfu::selectClick);
    choose_file = [this] {
        return QFileDialog::getOpenFileName(this, windowTitle(), {}, QStringLiteral("Update File (*.voku)"));
    };

    connect(&tmrb, &QTimer::timeout, this, &Tfu::tmrbTimer);
    tmrb.start(timings::update_first_tick);

    ui_hooks.update_result = [this](bool ok) { finishReply(ok); };
    ui_hooks.defaults_reset = [this] { defaultsReply(); };
    ui_hooks.unit_identity = [this](const UnitIdentity& unit) {
        dev_name->setText(unit.product);
        dev_serial->setText(unit.serial);
        dev_version->setText(unit.version);
    };
    ui_hooks.unit_opened = [this](OpenedMode mode) {
        // In the boot loader the buttons come on; in the normal firmware they go off and the
        // indicator turns green (it is never painted back).
        const bool boot = mode == OpenedMode::boot_loader;
        if (!boot)
            paintIndicator(QColor(0, 255, 0));
        select->setEnabled(boot);
        def->setEnabled(boot);
    };
}

Tfu::~Tfu() {
    ui_hooks.update_result = nullptr;
    ui_hooks.defaults_reset = nullptr;
    ui_hooks.unit_identity = nullptr;
    ui_hooks.unit_opened = nullptr;
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
    pb->setRange(0, 100);
    pb->setValue(0);
    progress_error(false);
}

void Tfu::tmrbTimer() {
    if (upd_done) {
        if (isVisible())
            done(QDialog::Accepted); // ends the modal showing
        return;
    }
    tmrb.setInterval(timings::update_poll);
    if (isVisible() && !upd_busy && !boot_mode.load(std::memory_order_acquire))
        mailbox.post(Request{cmd_upd_poll, {}, false});
}

void Tfu::cancelClick() {
    upd_busy = false;
    // Sent before the window goes: the discovery that follows its closing closes the unit, and a
    // request still in the mailbox then would never reach it, leaving the unit in its boot loader.
    (void)mailbox.send_and_wait(Request{cmd_upd_close, {}, false});
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
    tmrb.setInterval(timings::update_close);
}

void Tfu::defaultsReply() {
    info(QStringLiteral("Настройки сброшены!"));
}

void Tfu::defClick() {
    // The result is not looked at: the unit's acknowledgement is what the operator sees.
    (void)mailbox.send_and_wait(Request{cmd_defaults, {}, false});
}

void Tfu::paintIndicator(const QColor& colour) {
    QPalette p = OpenIndicator->palette();
    p.setColor(QPalette::Window, colour);
    OpenIndicator->setPalette(p);
}

void Tfu::error(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(update_caption), text, QMessageBox::Ok, this);
    box.exec();
}

void Tfu::ready() {
    select->setEnabled(true);
    def->setEnabled(true);
    upd_busy = false;
}

void Tfu::progress_error(bool on) {
    // The bar's error state: a red bar instead of the normal one.
    pb->setStyleSheet(on ? QStringLiteral("QProgressBar::chunk { background-color: #d01010; }") : QString());
}

namespace {
constexpr int block_size = 512;

QByteArray write_payload(uint16_t address, const QByteArray& block) {
    QByteArray p;
    p.reserve(4 + block.size());
    p.append(static_cast<char>(address >> 8)).append(static_cast<char>(address & 0xFF));
    p.append(static_cast<char>(block_size >> 8)).append(static_cast<char>(block_size & 0xFF));
    p.append(block);
    return p;
}

std::vector<uint8_t> bytes(const QByteArray& a) {
    return {a.begin(), a.end()};
}
} // namespace

bool Tfu::set_erase(uint16_t address) {
    const std::vector<uint8_t> payload{static_cast<uint8_t>(address >> 8),
                                       static_cast<uint8_t>(address & 0xFF)};
    return mailbox.send_and_wait(Request{cmd_erase, payload, false});
}

bool Tfu::write_flash(uint16_t address, const QByteArray& block) {
    if ((address & 0x1FF) == 0)
        (void)set_erase(address); // a failed erase shows in the write that follows
    return mailbox.send_and_wait(Request{cmd_write_flash, bytes(write_payload(address, block)), false});
}

bool Tfu::write_eep(uint16_t address, const QByteArray& block) {
    return mailbox.send_and_wait(Request{cmd_write_eep, bytes(write_payload(address, block)), false});
}

void Tfu::selectClick() {
    select->setEnabled(false);
    def->setEnabled(false);
    upd_busy = true;
    const QString path = choose_file();
    if (path.isEmpty()) {
        ready();
        return;
    }
    UpdateImages images;
    try {
        const UpdateFile file = load_update_file(path);
        const UpdateHeader header = read_header(file);
        if (!name_rule_accepts(header.inf, dev_name->text())) {
            progress_error(true);
            error(QStringLiteral("Неверный файл!"));
            progress_error(false);
            ready();
            return;
        }
        images = build_images(file, header.area);
    } catch (const UpdateFileError& e) {
        // Nothing is sent; the buttons stay off until the window is closed.
        error(QString::fromStdString(e.what()));
        return;
    }
    pb->setRange(0, 100);
    pb->setValue(0);
    progress_error(false);
    if (!send_images(images.flash, images.eeprom)) {
        error(QStringLiteral("Ошибка обновления. Повторите попытку."));
        ready();
        return;
    }
    mailbox.post(Request{cmd_finish, {}, false});
    pb->setRange(0, 0); // busy, no position, until the unit answers
}

bool Tfu::send_images(const QByteArray& flash, const QByteArray& eeprom) {
    const double total = static_cast<double>(flash.size()) + static_cast<double>(eeprom.size());
    qsizetype taken = 0;
    QByteArray block(block_size, '\xFF');
    const auto send = [&](const QByteArray& image, bool is_flash) {
        for (qsizetype at = 0; at < image.size(); at += block_size) {
            const qsizetype n = std::min<qsizetype>(block_size, image.size() - at);
            block.fill('\xFF');
            std::copy_n(image.constData() + at, n, block.data());
            const auto address = static_cast<uint16_t>(at);
            if (!(is_flash ? write_flash(address, block) : write_eep(address, block)))
                return false;
            taken += n;
            // Image bytes over all image bytes, rounded half to even; the last block gives 100.
            pb->setValue(static_cast<int>(std::nearbyint(static_cast<double>(taken) / total * 100.0)));
        }
        return true;
    };
    return send(flash, true) && send(eeprom, false);
}
