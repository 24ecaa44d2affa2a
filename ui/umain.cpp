// Main window: its controls and handlers, the settings poll, enabling and refreshing, the file menu.
#include "ui/umain.h"

#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/library_file.h"
#include "protocol/link.h"
#include "ui/config_file.h"
#include "ui/link_view.h"
#include "ui/selector_button.h"
#include "ui/settings_table.h"
#include "ui/source_names.h"
#include "update/settings_backup.h"
#include "update/uu.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace {

constexpr QLatin1String file_filter("Config File (*.cfg)");
QString source_label() {
    return QStringLiteral("Источник для SDI#");
}
QFont window_font() {
    const QString family = QFontDatabase::hasFamily(QStringLiteral("Tahoma"))
                               ? QStringLiteral("Tahoma")
                               : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(13);
    font.setBold(true);
    return font;
}

QComboBox* list(const QStringList& items, int width, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->addItems(items);
    // Wider than given only when the font leaves the longest item no room.
    box->setFixedSize(std::max(width, box->sizeHint().width()), 24);
    return box;
}

int index_or_none(int index, const QComboBox* box) {
    return index < box->count() ? index : -1; // a value with no item shows as no selection
}

} // namespace

// ---------------------------------------------------------------------------------------------------

ByteSpinBox::ByteSpinBox(int low, int high, int initial, QWidget* parent)
    : QSpinBox(parent), low_(low), high_(high) {
    // Qt's own range is what may be typed: every integer. The limits are applied by this class.
    setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    setValue(initial);
    last_read_ = read();
    setFixedSize(138, 24);
    setAccessibleDescription(tr("от %1 до %2").arg(low).arg(high));
    // Typing shows in the line edit's text, which may be no number yet; arrows, limits and code change
    // the value, which the spin box writes into the line edit without the edit's own signal.
    connect(lineEdit(), &QLineEdit::textChanged, this, &ByteSpinBox::textMayHaveChanged);
    connect(this, &QSpinBox::valueChanged, this, &ByteSpinBox::textMayHaveChanged);
}

void ByteSpinBox::textMayHaveChanged() {
    if (!holdsNumber())
        return; // the operator is still typing: an empty field or a lone sign is no level to send
    const int v = read();
    if (v == last_read_)
        return; // both routes report one keystroke: the value changed once
    last_read_ = v;
    emit readChanged(v);
}

bool ByteSpinBox::acceptable() const {
    QString text = lineEdit()->displayText();
    int pos = 0;
    return validate(text, pos) == QValidator::Acceptable;
}

void ByteSpinBox::showValue(int v) {
    const QSignalBlocker quiet(this);
    setValue(std::clamp(v, low_, high_));
    last_read_ = read();
}

namespace {
std::optional<int> number_in(const QSpinBox& box) {
    bool ok = false;
    const QString text = box.cleanText();
    int v = text.toInt(&ok);
    if (!ok)
        v = box.locale().toInt(text, &ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}
} // namespace

int ByteSpinBox::read() const {
    return number_in(*this).value_or(last_read_);
}

bool ByteSpinBox::holdsNumber() const {
    return number_in(*this).has_value();
}

void ByteSpinBox::stepBy(int steps) {
    const long long next = std::clamp<long long>(static_cast<long long>(read()) + steps, low_, high_);
    setValue(static_cast<int>(next));
    selectAll();
}

QAbstractSpinBox::StepEnabled ByteSpinBox::stepEnabled() const {
    if (isReadOnly())
        return StepNone;
    StepEnabled e = StepNone;
    if (read() < high_)
        e |= StepUpEnabled;
    if (read() > low_)
        e |= StepDownEnabled;
    return e;
}

void ByteSpinBox::focusOutEvent(QFocusEvent* event) {
    // Text that is no number was never sent: the box goes back to the value it last carried.
    if (!acceptable())
        setValue(read());
    QSpinBox::focusOutEvent(event);
    // Another window coming to the front (a message box, the file dialog) is not the operator leaving.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        bringWithinLimits();
}

void ByteSpinBox::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !acceptable())
        setValue(read());
    QSpinBox::keyPressEvent(event);
    if (enter)
        bringWithinLimits();
}

void ByteSpinBox::bringWithinLimits() {
    const int v = value();
    if (v < low_ || v > high_)
        setValue(std::clamp(v, low_, high_));
}

// ---------------------------------------------------------------------------------------------------

Tfmain::Tfmain(Link& l, Tfu* update)
    : link(l), fu(update), tmr(l.mailbox, [&l] { l.poll_settings(); }),
      link_watch(l.mailbox, link_view_watch(l)), controls_(new QWidget(this)) {
    // The utility runs in a folder of its own (its library file lives there): the file dialogs start
    // in the user's documents instead.
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    fsave_name_ = open_name_ = QDir(documents).filePath(QStringLiteral("config.cfg"));
    setWindowTitle(QStringLiteral("RV-390PKTA"));
    // Close box only: no minimise or maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    // The controls, and under them a note that needs more than the status bar's one line.
    controls_->setObjectName(QStringLiteral("controls"));
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    buildUnitList(central);
    column->addWidget(unit_row_);
    column->addWidget(controls_);
    unit_note_ = new QLabel(central);
    unit_note_->setObjectName(QStringLiteral("unit_note"));
    unit_note_->setWordWrap(true);
    unit_note_->setContentsMargins(20, 0, 20, 16);
    unit_note_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    unit_note_->hide();
    column->addWidget(unit_note_);
    setCentralWidget(central);
    buildControls();
    unit_note_->setFixedWidth(controls_->sizeHint().width()); // wraps within the window's own width
    buildMenu();
    link_init = [this] { return link.usb_init(); };
    fsave = [](QWidget* parent, const QString& caption, const QString& initial, const QString& filter) {
        // No question before replacing a file, as the operator asked for that name.
        return QFileDialog::getSaveFileName(parent, caption, initial, filter, nullptr,
                                            QFileDialog::DontConfirmOverwrite);
    };
    open = [](QWidget* parent, const QString& caption, const QString& initial, const QString& filter) {
        // Qt's own dialog, as the desktop's may not take the side bar: the settings saved before
        // firmware updates are one click away.
        QFileDialog dialog(parent, caption, initial, filter);
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (const QString backups = backups_folder(); !backups.isEmpty())
            dialog.setSidebarUrls(dialog.sidebarUrls() << QUrl::fromLocalFile(backups));
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    };
    tmr.start(timings::settings_poll);
    connect(&link, &Link::link_changed, this, &Tfmain::showLinkNote);
    link_watch.start(timings::link_watch);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &Tfmain::focusWindowChanged);
    // A list or level the refresh left alone while it had the focus shows the block once it has lost
    // it: an unchanged block brings no refresh of its own.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget*) {
        const bool skipped =
            qobject_cast<QComboBox*>(old) != nullptr || qobject_cast<ByteSpinBox*>(old) != nullptr;
        if (skipped && !clearing_focus_ && isAncestorOf(old))
            refresh();
    });
    connect(&link, &Link::settings_controls, this, &Tfmain::Cont);
    connect(&link, &Link::units_found, this, &Tfmain::showUnits);
    connect(&link, &Link::unit_identity, this, [this](const UnitIdentity& unit) {
        // The list points at the unit discovery took.
        const int at = unit_list_->findData(unit.serial);
        if (at >= 0) {
            const QSignalBlocker quiet(unit_list_);
            unit_list_->setCurrentIndex(at);
        }
        setWindowTitle(!unit_row_->isHidden() && !unit.serial.isEmpty()
                           ? QStringLiteral("RV-390PKTA — %1").arg(unit.serial)
                           : QStringLiteral("RV-390PKTA"));
    });
    // The unit chosen last time, when it is connected.
    link.prefer_unit(remembered_unit());
    connect(&link, &Link::note, this, [this](const QString& text) {
        unit_note_text_ = text;
        showUnitNote(text);
    });
    connect(&link, &Link::refresh, this, [this] {
        refresh();
        if (range_box_follows_)
            range_box_follows_();
        // The first block from the opened unit is what makes its controls safe to use.
        if (link.gate.refreshed() && link.is_open() && !link.in_boot_loader())
            Cont(true);
        offerRestore();
    });
    FormCreate();
}

Tfmain::~Tfmain() {
    // The two worker timers stop as members. The link's signals are cut first: the members its slots
    // use are gone before QObject's own destructor would cut them.
    disconnect(&link, nullptr, this, nullptr);
    // The base class's destructor hides the window, which moves the focus: the application's signals
    // must not reach this half-destroyed window then.
    disconnect(qApp, nullptr, this, nullptr);
}

void Tfmain::buildControls() {
    // Set before the controls exist, so each one, style sheet or not, starts from it.
    controls_->setFont(window_font());
    layout()->setSizeConstraint(QLayout::SetFixedSize); // the window takes the size of its contents
    constexpr int gap = 8;                              // between a label and its control
    auto* outer = new QVBoxLayout(controls_);
    outer->setContentsMargins(20, 20, 20, 20);
    outer->setSpacing(24);
    auto* top = new QHBoxLayout;
    auto* block = new QGridLayout; // the two-by-two selector buttons
    block->setHorizontalSpacing(33);
    block->setVerticalSpacing(16);
    // Each column has its own rows, so the two-line caption on the right does not stretch the left one.
    auto* columns = new QHBoxLayout;
    columns->setSpacing(16);
    auto* left = new QGridLayout;
    auto* right = new QGridLayout;
    for (QGridLayout* g : {left, right}) {
        g->setHorizontalSpacing(gap);
        g->setVerticalSpacing(6);
        columns->addLayout(g);
    }
    columns->setAlignment(right, Qt::AlignTop);
    outer->addLayout(top);
    outer->addLayout(columns);

    for (int i = 0; i < 4; ++i) {
        buts_[i] = new SelectorButton(QString::number(i + 1), controls_);
        buts_[i]->setObjectName(QStringLiteral("but%1").arg(i));
        block->addWidget(buts_[i], i / 2, i % 2);
        connect(buts_[i], &QPushButton::clicked, this, [this, i] { but_click(i); });
    }
    std::tie(but0, but1, but2, but3) = std::tuple(buts_[0], buts_[1], buts_[2], buts_[3]);

    const auto label = [&](QGridLayout* grid, const QString& text, QWidget* buddy, int row,
                           const QString& name) {
        auto* l = new QLabel(text, controls_);
        l->setObjectName(name);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->setBuddy(buddy);
        buddy->setAccessibleName(text);
        grid->addWidget(l, row, 0);
        grid->addWidget(buddy, row, 1);
        return l;
    };

    // Left column: the two groups, then the eight outputs with their sources.
    const QStringList group_items = {QStringLiteral("Group 1"), QStringLiteral("Group 2"),
                                     QStringLiteral("Group 3"), QStringLiteral("Group 4")};
    std::vector<QLabel*> left_labels;
    for (int n = 0; n < 2; ++n) {
        groups_[n] = list(group_items, 96, controls_);
        groups_[n]->setObjectName(QStringLiteral("group%1").arg(n));
        connect(groups_[n], &QComboBox::activated, this, [this, n] { groupChange(n); });
        left_labels.push_back(label(left, QString::fromUtf8(settings_table()[1 + std::size_t(n)].label),
                                    groups_[n], n, QStringLiteral("label_group%1").arg(n)));
    }
    std::tie(group0, group1) = std::tuple(groups_[0], groups_[1]);
    for (int n = 0; n < 8; ++n) {
        srcs_[n] = list(source_names(0, 1), 96, controls_);
        srcs_[n]->setObjectName(QStringLiteral("src%1").arg(n));
        connect(srcs_[n], &QComboBox::activated, this, [this, n] { srcChange(n); });
        csrcs_[n] = label(left, source_label() + QString::number(n + 1), srcs_[n], 2 + n,
                          QStringLiteral("csrc%1").arg(n));
        left_labels.push_back(csrcs_[n]);
    }
    for (QComboBox* g : groups_)
        g->setFixedWidth(srcs_[0]->width()); // one column, one width
    std::tie(src0, src1, src2, src3, src4, src5, src6, src7) =
        std::tuple(srcs_[0], srcs_[1], srcs_[2], srcs_[3], srcs_[4], srcs_[5], srcs_[6], srcs_[7]);
    std::tie(csrc0, csrc1, csrc2, csrc3, csrc4, csrc5, csrc6, csrc7) =
        std::tuple(csrcs_[0], csrcs_[1], csrcs_[2], csrcs_[3], csrcs_[4], csrcs_[5], csrcs_[6], csrcs_[7]);
    // One width for the left captions, with room for the widest channel number, so that the window keeps
    // its size when the groups change and the buttons can line up with the lists.
    int caption_width = csrc0->fontMetrics().horizontalAdvance(source_label() + QStringLiteral("16")) + 4;
    for (QLabel* l : left_labels)
        caption_width = std::max(caption_width, l->sizeHint().width());
    for (QLabel* l : left_labels)
        l->setFixedWidth(caption_width);
    top->addSpacing(caption_width + gap);
    top->addLayout(block);
    top->addStretch();

    // Right column: levels, scale, indicators, group replacement.
    // Ranges, captions and list texts from the one table of the block's fields.
    const auto field = [](const char* key) -> const SettingsField& { return *settings_field(key); };
    const auto spin = [&](const char* key, int initial) {
        return new ByteSpinBox(field(key).low, field(key).high, initial, controls_);
    };
    const auto texts = [&](const char* key) {
        QStringList t;
        for (const char* n : field(key).window_names)
            t << QString::fromUtf8(n);
        return t;
    };
    const auto caption = [&](const char* key) { return QString::fromUtf8(field(key).label); };
    headroom = spin("headroom", 0);
    db0 = spin("zero_db", -12);
    xlr_gain = spin("analog_gain", -12);
    headroom->setObjectName(QStringLiteral("headroom"));
    db0->setObjectName(QStringLiteral("db0"));
    xlr_gain->setObjectName(QStringLiteral("xlr_gain"));
    connect(headroom, &ByteSpinBox::readChanged, this, &Tfmain::headroomChange);
    connect(db0, &ByteSpinBox::readChanged, this, &Tfmain::db0Change);
    connect(xlr_gain, &ByteSpinBox::readChanged, this, &Tfmain::xlr_gainChange);
    scale = list(texts("scale"), 138, controls_);
    ind = list(texts("indicators"), 138, controls_);
    agr = list(texts("agr"), 138, controls_);
    scale->setObjectName(QStringLiteral("scale"));
    ind->setObjectName(QStringLiteral("ind"));
    agr->setObjectName(QStringLiteral("agr"));
    connect(scale, &QComboBox::activated, this, &Tfmain::scaleChange);
    connect(ind, &QComboBox::activated, this, &Tfmain::indChange);
    connect(agr, &QComboBox::activated, this, &Tfmain::agrChange);
    label(right, caption("headroom"), headroom, 0, QStringLiteral("label_headroom"));
    label(right, caption("zero_db"), db0, 1, QStringLiteral("label_db0"));
    QLabel* gain = label(right, caption("analog_gain"), xlr_gain, 2, QStringLiteral("label_xlr_gain"));
    label(right, caption("scale"), scale, 3, QStringLiteral("label_scale"));
    label(right, caption("indicators"), ind, 4, QStringLiteral("label_ind"));
    label(right, caption("agr"), agr, 5, QStringLiteral("label_agr"));
    // Two lines: the caption keeps its text and breaks after its second word.
    gain->setWordWrap(true);
    gain->setFixedWidth(gain->fontMetrics().horizontalAdvance(QStringLiteral("Усиление аналоговых")) + 2);
    right->setAlignment(gain, Qt::AlignRight | Qt::AlignVCenter);

    // Keyboard order follows the layout: the buttons row by row, then each column from the top.
    std::vector<QWidget*> order(buts_.begin(), buts_.end());
    order.insert(order.end(), groups_.begin(), groups_.end());
    order.insert(order.end(), srcs_.begin(), srcs_.end());
    for (QWidget* w :
         {static_cast<QWidget*>(headroom), static_cast<QWidget*>(db0), static_cast<QWidget*>(xlr_gain),
          static_cast<QWidget*>(scale), static_cast<QWidget*>(ind), static_cast<QWidget*>(agr)})
        order.push_back(w);
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void Tfmain::buildMenu() {
    QMenuBar* mm = menuBar();
    const auto item = [this](QWidget* on, const char* name, const QString& caption,
                             void (Tfmain::*handler)()) {
        QAction* a = on->addAction(caption, this, handler);
        a->setObjectName(QLatin1String(name));
        return a;
    };
    N4 = mm->addMenu(QStringLiteral("Файл"));
    N4->menuAction()->setObjectName(QStringLiteral("N4"));
    EXP = item(N4, "EXP", QStringLiteral("Сохранить конфигурацию в файл"), &Tfmain::EXPClick);
    IMP = item(N4, "IMP", QStringLiteral("Загрузить конфигурацию из файла"), &Tfmain::IMPClick);
    FCLOSE = item(N4, "FCLOSE", QStringLiteral("Закрыть"), &Tfmain::FCLOSEClick);
    // Items on the bar itself act when chosen; they open nothing.
    UPD = item(mm, "UPD", QStringLiteral("Обновление ПО"), &Tfmain::UPDClick);
    DEF = item(mm, "DEF", QStringLiteral("Сброс параметров"), &Tfmain::DEFClick);
    INF = item(mm, "INF", QStringLiteral("Инфо"), &Tfmain::INFClick);
    // Keys for the file items; the captions stay as written, without mnemonic marks.
    EXP->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    IMP->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    FCLOSE->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    // F10 opens the bar from the keyboard on every desktop; the arrows then reach each item.
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, this, [this] { menuBar()->setActiveAction(N4->menuAction()); });
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

bool Tfmain::isActiveControl(const QWidget* w) const {
    // The window remembers its focused control also while another window is in front of it.
    const QWidget* f = focusWidget();
    return f != nullptr && (f == w || w->isAncestorOf(f));
}

void Tfmain::clearActiveControl() {
    // The window's own clearing waits for the next reply to show the block, as the operator's change does.
    if (QWidget* f = focusWidget()) {
        clearing_focus_ = true;
        f->clearFocus();
        clearing_focus_ = false;
    }
}

namespace {
QSettings window_settings() {
    return QSettings(QStringLiteral("rv390pkta"), QStringLiteral("rv390pkta"));
}
} // namespace

QString Tfmain::remembered_unit() {
    return window_settings().value(QStringLiteral("window/unit")).toString();
}

void Tfmain::buildUnitList(QWidget* parent) {
    // Above the controls and not among them: a unit can be chosen while the controls are off.
    unit_row_ = new QWidget(parent);
    unit_row_->setObjectName(QStringLiteral("unit_row"));
    unit_row_->setFont(window_font()); // as the controls' captions
    auto* row = new QHBoxLayout(unit_row_);
    row->setContentsMargins(20, 12, 20, 0);
    const QString caption = QStringLiteral("Блок:");
    auto* label = new QLabel(caption, unit_row_);
    unit_list_ = new QComboBox(unit_row_);
    unit_list_->setObjectName(QStringLiteral("unit_list"));
    unit_list_->setAccessibleName(caption);
    label->setBuddy(unit_list_);
    row->addWidget(label);
    row->addWidget(unit_list_, 1);
    unit_row_->hide(); // with one unit the window looks as it always has
    connect(unit_list_, &QComboBox::activated, this, [this](int index) {
        const QString serial = unit_list_->itemData(index).toString();
        window_settings().setValue(QStringLiteral("window/unit"), serial);
        link.prefer_unit(serial);
        link.usb_connect(); // its block shows with the first poll's answer
    });
}

void Tfmain::showUnits(const std::vector<FoundUnit>& units) {
    const QSignalBlocker quiet(unit_list_);
    unit_list_->clear();
    for (const FoundUnit& u : units) {
        const QString& serial = u.identity.serial;
        unit_list_->addItem(u.boot_loader
                                ? QStringLiteral("%1 (ПО %2, загрузчик)").arg(serial, u.identity.version)
                                : QStringLiteral("%1 (ПО %2)").arg(serial, u.identity.version),
                            u.identity.serial);
    }
    const bool several = units.size() > 1;
    if (several == unit_row_->isHidden()) {
        unit_row_->setVisible(several);
        adjustSize();
    }
}

void Tfmain::showUnitNote(const QString& text) {
    // With the update window open over the unit in its boot loader, the update is under way there: the
    // line does not send the operator to open that window.
    const bool updating = update_open_ && link.in_boot_loader();
    const QString shown = updating ? QStringLiteral("Идёт обновление ПО: блок в режиме загрузчика") : text;
    // Its first line in the status bar; a longer note (with its remedy) whole, wrapped, under the
    // controls, where nothing of it is cut off.
    const qsizetype line_end = shown.indexOf(QLatin1Char('\n'));
    statusBar()->showMessage(line_end < 0 ? shown : shown.left(line_end));
    statusBar()->setToolTip(shown);
    unit_note_->setText(line_end < 0 ? QString() : shown);
    unit_note_->setVisible(line_end >= 0);
    adjustSize();
}

void Tfmain::refresh() {
    // One snapshot: no control shows half of one block and half of another.
    const Tpar p = link.par.take_for_showing();
    // After a selector button, every control shows the block, the focused one too (which keeps the focus).
    const bool all = std::exchange(show_all_next_, false);
    const auto held = [&](const QWidget* control) { return !all && isActiveControl(control); };
    for (int i = 0; i < 4; ++i)
        buts_[i]->setScheme(p.but == i ? SelectorButton::Scheme::green : SelectorButton::Scheme::chrome);

    // Every poll reply comes here, and it seldom changes anything: a control that already shows its
    // value is left alone, so an idle window repaints nothing. Compared with what the control shows,
    // not with the last block, so lists emptied by a group change get their choice back.
    // Setting a list from code emits no `activated`; blocking also keeps other listeners quiet.
    const auto show_list = [&](QComboBox* box, int index) {
        const int shown = index_or_none(index, box);
        if (box->currentIndex() == shown || held(box))
            return;
        const QSignalBlocker quiet(box);
        box->setCurrentIndex(shown);
    };
    const auto show_level = [&](ByteSpinBox* box, int8_t v) {
        const int shown = std::clamp<int>(v, box->low(), box->high());
        if ((box->value() == shown && box->read() == shown) || held(box))
            return;
        box->showValue(v);
    };
    show_list(group0, p.group[0]);
    show_list(group1, p.group[1]);
    for (int n = 0; n < 8; ++n)
        show_list(srcs_[n], p.src[n]);
    show_level(xlr_gain, p.xlr_gain);
    show_level(db0, p.db0);
    show_level(headroom, p.headroom);
    show_list(scale, p.scale != 0 ? 1 : 0);
    show_list(ind, p.ind);
    show_list(agr, p.agr != 0 ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------------
// Handlers

void Tfmain::but_click(int n) {
    link.par.edit([&](Tpar& p) { p.but = static_cast<uint8_t>(n); });
    link.save();
    // The next refresh updates every control, as if none held the focus; the keyboard's place is kept.
    show_all_next_ = true;
}

void Tfmain::groupChange(int n) {
    QComboBox* picked = groups_[n];
    const int other = link.par.get().group[1 - n];
    const int position = distinct_group(picked->currentIndex(), other);
    if (position != picked->currentIndex()) {
        const QSignalBlocker quiet(picked);
        picked->setCurrentIndex(position);
    }
    Tpar p;
    link.par.edit([&](Tpar& q) {
        q.group[n] = static_cast<uint8_t>(position);
        p = q;
    });

    const QStringList names = source_names(p.group[0], p.group[1]);
    for (QComboBox* box : srcs_) {
        const QSignalBlocker quiet(box);
        box->clear();
        box->addItems(names);
        box->setCurrentIndex(-1); // no selection until the next refresh shows the unit's choice
    }
    for (int i = 0; i < 8; ++i)
        setSourceLabel(i, source_label() + QString::number(output_channel(p.group[0], p.group[1], i)));
    link.save();
}

void Tfmain::setSourceLabel(int n, const QString& text) {
    csrcs_[n]->setText(text);
    srcs_[n]->setAccessibleName(text);
}

void Tfmain::srcChange(int n) {
    const int position = srcs_[n]->currentIndex();
    if (position < 0)
        return;
    link.par.edit([&](Tpar& p) { p.src[n] = static_cast<uint8_t>(position); });
    link.save();
}

void Tfmain::scaleChange() {
    const uint8_t v = scale->currentIndex() > 0 ? 1 : 0;
    link.par.edit([&](Tpar& p) { p.scale = v; });
    link.save();
}

void Tfmain::indChange() {
    const int position = ind->currentIndex();
    if (position < 0)
        return;
    link.par.edit([&](Tpar& p) { p.ind = static_cast<uint8_t>(position); });
    link.save();
}

void Tfmain::agrChange() {
    const int position = agr->currentIndex();
    if (position < 0)
        return;
    link.par.edit([&](Tpar& p) { p.agr = static_cast<uint8_t>(position); });
    link.save();
}

void Tfmain::headroomChange(int value) {
    writeLevel(headroom, &Tpar::headroom, value);
}
void Tfmain::db0Change(int value) {
    writeLevel(db0, &Tpar::db0, value);
}
void Tfmain::xlr_gainChange(int value) {
    writeLevel(xlr_gain, &Tpar::xlr_gain, value);
}

void Tfmain::writeLevel(ByteSpinBox* box, int8_t Tpar::*field, int value) {
    // Only the operator's own changes are written: refresh and leaving the box change the value too.
    if (!isActiveControl(box))
        return;
    if (value < std::numeric_limits<int8_t>::min() || value > std::numeric_limits<int8_t>::max()) {
        refuseLevel(box, field, value);
        return;
    }
    link.par.edit([&](Tpar& p) { p.*field = static_cast<int8_t>(value); });
    link.save();
}

void Tfmain::refuseLevel(ByteSpinBox* box, int8_t Tpar::*field, int value) {
    if (range_error_open_)
        return;
    range_error_open_ = true;
    // Shown once the keystroke has been handled, not from inside the box's own text change.
    QMetaObject::invokeMethod(
        this,
        [this, box, field, value] {
            const QLabel* caption = controls_->findChild<QLabel*>(
                QStringLiteral("label_") + box->objectName(), Qt::FindDirectChildrenOnly);
            QMessageBox m(QMessageBox::Critical, windowTitle(), QStringLiteral("Range check error"),
                          QMessageBox::Ok, this);
            // What was typed before the last digit has been written already: the box says what the
            // unit holds now, not that nothing changed. Until the unit has answered that write, it says
            // what was sent, and follows the unit's answer when it comes (the unit may keep less).
            const QString refused =
                QStringLiteral("«%1»: значение %2 не помещается в байт со знаком (от −128 до 127) и не "
                               "принято. ")
                    .arg(caption ? caption->text() : box->objectName())
                    .arg(value);
            const auto follow = [&] {
                const int held = link.par.get().*field;
                m.setInformativeText(
                    refused +
                    (link.par.answered()
                         ? QStringLiteral("Сейчас в блоке: %1.").arg(held)
                         : QStringLiteral("В блок записывается %1; ответ блока ещё не пришёл.").arg(held)));
            };
            follow();
            range_box_follows_ = follow;
            m.exec();
            range_box_follows_ = nullptr;
            range_error_open_ = false;
            box->showValue(link.par.get().*field); // the box shows what the unit keeps
        },
        Qt::QueuedConnection);
}

void Tfmain::offerRestore() {
    // Once, when the unit that was updated is back in its firmware, and the update window with its
    // boxes has gone: the firmware it reports is the one the file named, or the operator is told.
    // Replies go on arriving while a box is open: one box at a time.
    if (after_update_box_)
        return;
    const QScopedValueRollback<bool> one_box(after_update_box_, true);
    if (fu && fu->expected_version && !fu->isVisible() && link.is_open() && !link.in_boot_loader() &&
        fu->dev_serial->text() == fu->expected_version->serial) {
        const Tfu::Expected expected = *fu->expected_version;
        fu->expected_version.reset();
        if (fu->dev_version->text() != expected.version) {
            QMessageBox warn(QMessageBox::Warning, QString::fromUtf8(update_caption),
                             QStringLiteral("После обновления блок сообщает версию ПО %1, а в файле "
                                            "обновления указана версия %2.")
                                 .arg(fu->dev_version->text(), expected.version),
                             QMessageBox::Ok, this);
            warn.setInformativeText(QStringLiteral("Проверьте файл обновления и повторите обновление."));
            warn.exec();
        }
    }
    // And with its own block shown: the settings saved before the update are offered back.
    if (!fu || !fu->restore_offer || fu->isVisible() || !link.gate.valid() || !link.is_open() ||
        link.in_boot_loader() || fu->dev_serial->text() != fu->restore_offer->serial)
        return;
    const TparBytes saved = fu->restore_offer->block;
    fu->restore_offer.reset();
    if (to_bytes(link.par.get()) == saved)
        return;
    QMessageBox ask(QMessageBox::Question, QString::fromUtf8(update_caption),
                    QStringLiteral("Восстановить настройки, сохранённые перед обновлением?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    ask.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
    ask.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
    ask.setDefaultButton(QMessageBox::Yes);
    if (ask.exec() != QMessageBox::Yes)
        return;
    link.par.edit([&](Tpar& p) { p = from_bytes(saved); });
    link.save();
    refresh();
}

void Tfmain::showLinkNote() {
    const LinkView view = link_view(link);
    if (view.edits_given_up != given_up_seen_) {
        given_up_seen_ = view.edits_given_up;
        given_up_shown_ = true;
        written_when_given_up_ = view.last_written;
    } else if (view.last_written > written_when_given_up_) {
        given_up_shown_ = false; // a later change has reached a unit
    }
    QString note;
    if (view.failing) {
        given_up_shown_ = false;
        note = QStringLiteral("Изменение не передано блоку: нет связи. Оно будет отправлено, когда связь "
                              "восстановится");
    } else if (given_up_shown_) {
        note = QStringLiteral("Изменение не передано блоку: блок отключён");
    }
    switch (view.state) {
    case link_health::State::not_answering:
        note = note.isEmpty() ? QStringLiteral("Блок не отвечает: проверьте питание и кабель") : note;
        break;
    case link_health::State::not_understood:
        note = note.isEmpty() ? QStringLiteral("Ответы блока не распознаются (неверная контрольная сумма "
                                               "или длина): проверьте кабель и блок")
                              : note;
        break;
    case link_health::State::fine:
        break;
    }
    QStatusBar* bar = statusBar();
    if (note == link_note_)
        return;
    // Another line (discovery's) is left alone; the link's own is replaced or cleared.
    if (!note.isEmpty())
        bar->showMessage(note);
    else if (bar->currentMessage() == link_note_)
        bar->clearMessage();
    link_note_ = note;
}

void Tfmain::DEFClick() {
    QMessageBox ask(QMessageBox::Question, DEF->text(), QStringLiteral("Установить значения по умолчанию?"),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    ask.setDefaultButton(QMessageBox::Cancel); // a stray Enter does not reset the unit
    if (ask.exec() != QMessageBox::Ok)
        return;
    link.par.edit([](Tpar& p) { p = default_par; });
    link.save();
    refresh();
    clearActiveControl();
}

void Tfmain::INFClick() {
    const auto field = [](const QLineEdit* f) { return f ? f->text() : QString(); };
    const QString text = QStringLiteral("Модель: ") + field(fu ? fu->dev_name : nullptr) +
                         QStringLiteral("\r\n") + QStringLiteral("Серийный номер: ") +
                         field(fu ? fu->dev_serial : nullptr) + QStringLiteral("\r\n") +
                         QStringLiteral("Версия ПО: ") + field(fu ? fu->dev_version : nullptr);
    QMessageBox box(QMessageBox::Information, QStringLiteral("INFO"), text, QMessageBox::Ok, this);
    box.exec();
}

void Tfmain::UPDClick() {
    if (fu) {
        update_open_ = true;
        if (link.in_boot_loader())
            showUnitNote(unit_note_text_); // the line now says the update is under way
        // Its final size is known once it has a native window on a screen.
        fu->winId();
        fu->adjustSize();
        const QRect m = frameGeometry();
        const QRect u = fu->frameGeometry();
        fu->move(m.x() + m.width() / 2 - u.width() / 2, m.y() + m.height() / 2 - u.height() / 2);
        fu->exec();
        update_open_ = false;
    }
    link.usb_connect();
    // The unit may be back with its block shown already, while the window was still open.
    offerRestore();
}

void Tfmain::FCLOSEClick() {
    close();
}

void Tfmain::fileError(const QString& caption, const QString& what, const QString& file,
                       const QString& reason) {
    QMessageBox box(QMessageBox::Critical, caption, what.arg(QDir::toNativeSeparators(file)), QMessageBox::Ok,
                    this);
    box.setInformativeText(reason);
    box.exec();
}

void Tfmain::EXPClick() {
    const QString caption = EXP->text();
    const QString chosen = fsave(this, caption, fsave_name_, file_filter);
    if (chosen.isEmpty())
        return;
    fsave_name_ = config_file::with_extension(chosen);
    QString reason;
    if (!config_file::save(fsave_name_, link.par.get(), reason))
        fileError(caption, QStringLiteral("Не удалось сохранить конфигурацию в файл «%1»."), fsave_name_,
                  reason);
}

void Tfmain::IMPClick() {
    const QString caption = IMP->text();
    const QString chosen = open(this, caption, open_name_, file_filter);
    if (chosen.isEmpty())
        return;
    open_name_ = chosen;
    QByteArray head;
    QString reason;
    if (!config_file::read_head(chosen, head, reason)) {
        fileError(caption, QStringLiteral("Не удалось загрузить конфигурацию из файла «%1»."), chosen,
                  reason);
        return;
    }
    // Only the file's bytes change: a reply that arrived meanwhile keeps the rest.
    link.par.edit([&](Tpar& p) { config_file::overlay(p, head); });
    clearActiveControl(); // the next reply shows in every control
    link.save();
    // No refresh: the window shows what the unit reports back, sanitised, with its next reply.
}

// ---------------------------------------------------------------------------------------------------
// Activation and closing

void Tfmain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::ActivationChange)
        return;
    if (!isActiveWindow())
        return;
    // Coming back straight from its own error box is no new activation: running the link start-up
    // again would show the same box again, for ever.
    const bool back_from_box = focus_was_own_box_ || back_from_own_box_;
    focus_was_own_box_ = back_from_own_box_ = false;
    if (!back_from_box)
        link.ui.run_or_hold(this, [this] { FormActivate(); });
}

void Tfmain::focusWindowChanged(QWindow* now) {
    // Platforms tell of the new focus window before or after the window's activation: either order
    // must find out that the focus comes straight from the box.
    back_from_own_box_ = now != nullptr && now == windowHandle() && focus_was_own_box_;
    focus_was_own_box_ = now != nullptr && now == own_box_;
}

void Tfmain::FormActivate() {
    if (activating_ || !isVisible())
        return;
    activating_ = true;
    bool ok = false;
    try {
        ok = link_init();
    } catch (const LibraryFileError& e) {
        // The library file could not be put in place: say why, keep the window, try again next time.
        activating_ = false;
        QMessageBox box(QMessageBox::Critical, windowTitle(), QString::fromStdString(e.what()),
                        QMessageBox::Ok, this);
        box.winId(); // gives the box its window now, to know it by
        own_box_ = box.windowHandle();
        box.exec();
        own_box_ = nullptr;
        return;
    }
    activating_ = false;
    if (ok)
        return;
    // The box's text as it always was, with the loader's reason on a second line.
    QString text = QStringLiteral("Не удалось инициализировать USB!");
    if (const QString why = link.usb_init_error(); !why.isEmpty())
        text += QStringLiteral("\n") + why;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Обновление программного обеспечения"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, fu);
    box.exec();
    close(); // whichever button: the application ends
}

void Tfmain::closeEvent(QCloseEvent* event) {
    FormClose();
    QMainWindow::closeEvent(event);
}

void Tfmain::FormClose() {
    link.thr.Terminate();
}
