// Update window: showing, the poll timer, closing, and the result of an update.
#include "update/uu.h"

#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/link.h"
#include "update/settings_backup.h"
#include "update/update_procedure.h"

#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include <cmath>

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

Tfu::Tfu(Link& l, QWidget* parent)
    : QDialog(parent), link(l), cancel(new QPushButton(QStringLiteral("Закрыть"), this)),
      dev_name(identity_field(this)), dev_serial(identity_field(this)), dev_version(identity_field(this)),
      OpenIndicator(new QFrame(this)), pb(new QProgressBar(this)), backup_caption(new QLabel(this)),
      backup_line(new QTextEdit(this)), select(new QPushButton(QStringLiteral("ВЫБРАТЬ ФАЙЛ"), this)),
      def(new QPushButton(QStringLiteral("Сброс настроек"), this)) {
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
    OpenIndicator->setAccessibleName(QStringLiteral("Индикатор блока"));
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
    pb->setAccessibleName(QStringLiteral("Ход обновления"));
    layout->addWidget(pb);
    backup_caption->setWordWrap(true);
    backup_caption->setFixedWidth(control_width);
    backup_caption->setBuddy(backup_line);
    // A path rarely fits the window's width: it wraps anywhere, and the box grows to its lines.
    backup_line->setReadOnly(true);
    backup_line->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    backup_line->setTabChangesFocus(true);
    backup_line->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    backup_line->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    backup_line->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    backup_line->setFixedWidth(control_width);
    for (QWidget* w : {static_cast<QWidget*>(backup_caption), static_cast<QWidget*>(backup_line)}) {
        w->hide();
        layout->addWidget(w);
    }
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

    connect(&link, &Link::update_result, this, &Tfu::finishReply);
    connect(&link, &Link::defaults_reset, this, &Tfu::defaultsReply);
    connect(&link, &Link::unit_identity, this, [this](const UnitIdentity& unit) {
        dev_name->setText(unit.product);
        dev_serial->setText(unit.serial);
        dev_version->setText(unit.version);
        // Not open until discovery says it has opened it.
        const bool none = unit.product.isEmpty() && unit.serial.isEmpty() && unit.path.isEmpty();
        unit_state_ = none ? UnitState::absent : UnitState::not_open;
        describeIndicator();
    });
    connect(&link, &Link::unit_opened, this, [this](OpenedMode mode) {
        // In the boot loader the buttons come on; in the normal firmware they go off and the
        // indicator turns green (it is never painted back).
        const bool boot = mode == OpenedMode::boot_loader;
        unit_state_ = boot ? UnitState::boot_loader : UnitState::normal;
        if (!boot)
            paintIndicator(QColor(0, 255, 0));
        describeIndicator();
        select->setEnabled(boot);
        def->setEnabled(boot);
    });
}

Tfu::~Tfu() {
    releaseUnit();
    disconnect(&link, nullptr, this, nullptr);
}

void Tfu::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void Tfu::hideEvent(QHideEvent* event) {
    releaseUnit();
    QDialog::hideEvent(event);
}

void Tfu::keepToUnit() {
    const QString serial = dev_serial->text();
    if (keeping_ || !link.is_open() || serial.isEmpty())
        return;
    keeping_ = true;
    choice_before_ = link.chosen_unit();
    // By serial number: its restarts may give the unit another node.
    link.choose_unit(serial);
}

void Tfu::releaseUnit() {
    if (!keeping_)
        return;
    keeping_ = false;
    link.choose_unit(choice_before_);
}

void Tfu::FormShow() {
    keepToUnit();
    if (!tmrb.isActive())
        tmrb.start(timings::update_poll);
    upd_done = false;
    upd_busy = false;
    pb->setRange(0, 100);
    pb->setValue(0);
    progress_error(false);
    backup_line->clear();
    backup_line->hide();
    backup_caption->hide();
}

void Tfu::tmrbTimer() {
    if (upd_done) {
        if (isVisible())
            done(QDialog::Accepted); // ends the modal showing
        return;
    }
    tmrb.setInterval(timings::update_poll);
    if (!isVisible()) {
        tmrb.stop(); // nothing to poll for while hidden: showing starts it again, and the idle program sleeps
        return;
    }
    if (!upd_busy && !link.boot_mode.load(std::memory_order_acquire)) {
        keepToUnit();
        link.mailbox.post(Request{cmd_upd_poll, {}});
    }
}

void Tfu::cancelClick() {
    upd_busy = false;
    link.ui.release_answer_hold(); // the operator no longer waits for the unit's answer
    // Sent before the window goes: the discovery that follows its closing closes the unit, and a
    // request still in the mailbox then would never reach it, leaving the unit in its boot loader.
    (void)link.mailbox.send_and_wait(Request{cmd_upd_close, {}});
    done(QDialog::Rejected);
}

void Tfu::reject() {
    cancelClick();
}

void Tfu::info(const QString& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(update_caption), text, QMessageBox::Ok, this);
    box.exec();
}

void Tfu::save_settings_first() {
    // The unit's block as it was read in this session, before it went to its boot loader.
    const QString serial = dev_serial->text();
    const std::optional<TparBytes> block = link.blocks.last_of(serial);
    backup.reset();
    restore_offer.reset();
    expected_version.reset();
    QString caption = QStringLiteral("Настройки не сохранены:");
    if (!block) {
        backup_line->setPlainText(
            QStringLiteral("блок не был подключён в обычном режиме с начала работы программы"));
    } else if (const BackupResult saved = save_backup(serial, *block); saved.saved) {
        backup = Backup{serial, *block};
        caption = QStringLiteral("Настройки сохранены:");
        backup_line->setPlainText(QDir::toNativeSeparators(saved.path));
    } else {
        backup_line->setPlainText(saved.why);
    }
    backup_caption->setText(caption);
    backup_line->setAccessibleName(caption);
    const QString whole = caption + QLatin1Char(' ') + backup_line->toPlainText();
    backup_line->setToolTip(whole);
    backup_line->setAccessibleDescription(whole);
    // As high as its wrapped lines, at the width the layout gives it.
    const int frame = 2 * backup_line->frameWidth();
    QTextDocument* text = backup_line->document();
    text->setTextWidth(control_width - frame);
    backup_line->setFixedHeight(static_cast<int>(std::ceil(text->size().height())) + frame);
    backup_caption->show();
    backup_line->show();
}

void Tfu::finishReply(bool ok) {
    info(ok ? QStringLiteral("Обновление завершено успешно!")
            : QStringLiteral("Ошибка в процессе обновления!\r\nПовторите попытку"));
    // Only once the box is gone: the restore question must not come over it, and the next tick, 100 ms
    // later, closes the window.
    if (ok) {
        restore_offer = backup;
        expected_version = Expected{dev_serial->text(), sending_version_};
    }
    upd_done = true;
    upd_busy = false;
    tmrb.setInterval(timings::update_close);
}

void Tfu::defaultsReply() {
    info(QStringLiteral("Настройки сброшены!"));
}

void Tfu::defClick() {
    keepToUnit();
    // The result is not looked at: the unit's acknowledgement is what the operator sees.
    (void)link.mailbox.send_and_wait(Request{cmd_defaults, {}});
}

void Tfu::paintIndicator(const QColor& colour) {
    QPalette p = OpenIndicator->palette();
    p.setColor(QPalette::Window, colour);
    OpenIndicator->setPalette(p);
    describeIndicator();
}

void Tfu::describeIndicator() {
    // In words too: the colour, what it means, and, where the unit has moved on since, what it does now.
    // The colour keeps the first normal-mode opening; the words must not claim more than that.
    const bool green = OpenIndicator->palette().color(QPalette::Window) != Qt::white;
    if (green && unit_state_ == UnitState::normal) {
        OpenIndicator->setAccessibleDescription(QStringLiteral("зелёный: блок открыт в обычном режиме"));
        return;
    }
    const QString colour = green ? QStringLiteral("зелёный") : QStringLiteral("белый");
    const QString meaning = green ? QStringLiteral("блок открывался в обычном режиме")
                                  : QStringLiteral("блок ещё не открывался в обычном режиме");
    QString now;
    switch (unit_state_) {
    case UnitState::none_yet:
    case UnitState::normal:
        break;
    case UnitState::boot_loader:
        now = QStringLiteral("блок в режиме загрузчика");
        break;
    case UnitState::not_open:
        now = QStringLiteral("блок найден, но не открыт");
        break;
    case UnitState::absent:
        now = QStringLiteral("блок не подключён");
        break;
    }
    OpenIndicator->setAccessibleDescription(
        now.isEmpty() ? colour + QStringLiteral(": ") + meaning
                      : QStringLiteral("%1 (%2); сейчас %3").arg(colour, meaning, now));
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

bool Tfu::send_now(const Request& r) {
    return link.mailbox.send_and_wait(r);
}

bool Tfu::set_erase(uint16_t address) {
    return send_erase(address, [this](const Request& r) { return send_now(r); });
}

bool Tfu::write_flash(uint16_t address, const QByteArray& block) {
    return send_flash_block(address, block, [this](const Request& r) { return send_now(r); });
}

bool Tfu::write_eep(uint16_t address, const QByteArray& block) {
    return send_eep_block(address, block, [this](const Request& r) { return send_now(r); });
}

void Tfu::selectClick() {
    keepToUnit();
    select->setEnabled(false);
    def->setEnabled(false);
    upd_busy = true;
    const QString path = choose_file();
    if (path.isEmpty()) {
        ready();
        return;
    }
    UpdateSteps steps;
    steps.sending = [this] {
        save_settings_first();
        pb->setRange(0, 100);
        pb->setValue(0);
        progress_error(false);
    };
    steps.progress = [this](int percent) { pb->setValue(percent); };
    const UpdateResult result = run_update(
        path, dev_name->text(), steps, [this](const Request& r) { return send_now(r); },
        post_holding_for_answer(link));
    switch (result.outcome) {
    case UpdateOutcome::sent:
        sending_version_ =
            QStringLiteral("%1.%2").arg(result.header.version[0]).arg(result.header.version[1]);
        pb->setRange(0, 0); // busy, no position, until the unit answers
        break;
    case UpdateOutcome::wrong_file:
        progress_error(true);
        error(QStringLiteral("Неверный файл!"));
        progress_error(false);
        ready();
        break;
    case UpdateOutcome::unreadable_file:
        // Nothing is sent; another file may be chosen at once.
        error(result.error);
        ready();
        break;
    case UpdateOutcome::block_failed:
    case UpdateOutcome::stopped: // not asked for: the window gives no go_on
        error(QStringLiteral("Ошибка обновления. Повторите попытку."));
        ready();
        break;
    }
}
