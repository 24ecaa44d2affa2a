// The main window: the operator's view of the unit's settings, and the hooks that run the link.
#pragma once

#include "core/worker_timer.h"
#include "protocol/unit_scan.h"
#include "ui/settings.h"

#include <QMainWindow>
#include <QSpinBox>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QWindow;
class Link;
class SelectorButton;
class Tfu;

// An integer box for one signed byte of the settings block. Its limits hold for the arrows, for what
// refresh shows and for the value left when the operator leaves the box (Tab, a click elsewhere, Enter).
// While the operator types, any integer gets through, so that a value that does not fit a byte can
// reach the handler and be refused there with a message, instead of being silently unreachable.
class ByteSpinBox : public QSpinBox {
    Q_OBJECT
public:
    ByteSpinBox(int low, int high, int initial, QWidget* parent);

    int low() const { return low_; }
    int high() const { return high_; }
    // Shows v brought within the limits; the box's signals stay quiet.
    void showValue(int v);
    // The integer the box reads now: its text as a number; while the text is none (empty, a lone
    // sign), the value it last carried, so that half-typed text never reaches the unit.
    int read() const;
    bool holdsNumber() const;
    // Arrows, Page keys and the wheel: steps from what the box reads, never past the limits.
    void stepBy(int steps) override;

signals:
    // Every change of what the box reads (typing, arrows, limits applied, values set from code).
    void readChanged(int value);

protected:
    StepEnabled stepEnabled() const override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void bringWithinLimits();
    void textMayHaveChanged();
    bool acceptable() const;

    int low_;
    int high_;
    int last_read_; // what readChanged last carried, or showValue last showed
};

class Tfmain : public QMainWindow {
    Q_OBJECT
public:
    // The window of `link`'s unit; `update` is the update window it opens (none: the menu item opens
    // nothing).
    explicit Tfmain(Link& link, Tfu* update = nullptr);
    ~Tfmain() override;

    Link& link;
    Tfu* fu;

    // Enables or disables every control placed on the window; the menu stays usable.
    void Cont(bool enable);
    // Shows the link's `par` in the controls that do not hold the focus; writes nothing.
    void refresh();

    // The settings poll. Both timers tick on the worker, so that a connected, idle window is woken
    // only when something it shows has changed.
    WorkerTimer tmr;
    // Looks at how the link is doing; the window's link line is shown anew when that changed.
    WorkerTimer link_watch;

    // Brings the device link up on every activation (the link's usb_init); tests put their own in.
    std::function<bool()> link_init;

    // Controls, by the names the unit's documents give them.
    SelectorButton *but0, *but1, *but2, *but3;
    QComboBox *group0, *group1;
    QComboBox *src0, *src1, *src2, *src3, *src4, *src5, *src6, *src7;
    QLabel *csrc0, *csrc1, *csrc2, *csrc3, *csrc4, *csrc5, *csrc6, *csrc7;
    ByteSpinBox *headroom, *db0, *xlr_gain;
    QComboBox *scale, *ind, *agr;

    // Menu: "Файл" with its three items, and three items acting straight from the bar.
    QMenu* N4;
    QAction *EXP, *IMP, *FCLOSE, *UPD, *DEF, *INF;

    // The configuration file dialogs: (parent, caption, initial file name, filter) -> chosen name, or
    // empty when cancelled. The file dialogs of the desktop by default; tests put their own in.
    using FileDialog = std::function<QString(QWidget*, const QString&, const QString&, const QString&)>;
    FileDialog fsave;
    FileDialog open;

    // Handlers.
    void but_click(int n);
    void groupChange(int n);
    void srcChange(int n);
    void headroomChange(int value);
    void db0Change(int value);
    void xlr_gainChange(int value);
    void scaleChange();
    void indChange();
    void agrChange();
    void DEFClick();
    void INFClick();
    void UPDClick();
    void EXPClick();
    void IMPClick();
    void FCLOSEClick();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    // The list of units, shown when more than one is connected.
    void buildUnitList(QWidget* parent);
    void showUnits(const std::vector<FoundUnit>& units);
    static QString remembered_unit();
    void buildMenu();
    void FormCreate();
    void FormActivate();
    void focusWindowChanged(QWindow* now);
    void FormClose();
    // Tells the operator how the link is doing.
    void showLinkNote();
    // Discovery's line about the unit, in the status bar (and, when longer, under the controls).
    void showUnitNote(const QString& text);
    // After a successful update: offers to write back the settings saved before it.
    void offerRestore();

    // The control that holds the window's keyboard focus, if it is `w`.
    bool isActiveControl(const QWidget* w) const;
    void clearActiveControl();
    // Writes a spin box's value into its byte, or refuses a value that does not fit one.
    void writeLevel(ByteSpinBox* box, int8_t Tpar::*field, int value);
    void refuseLevel(ByteSpinBox* box, int8_t Tpar::*field, int value);
    void setSourceLabel(int n, const QString& text);
    void fileError(const QString& caption, const QString& what, const QString& file, const QString& reason);

    QWidget* unit_row_ = nullptr;    // "Блок:" and its list
    QComboBox* unit_list_ = nullptr; // each unit by serial number, version and mode; the data: the serial
    QWidget* controls_;              // holds every control placed on the window
    QLabel* unit_note_; // under the controls: a note too long for the status bar (the permission fix)
    bool activating_ = false;
    // The library error box while it is shown, and whether the focus came to this window from it.
    const QWindow* own_box_ = nullptr;
    bool focus_was_own_box_ = false;
    bool back_from_own_box_ = false;
    bool clearing_focus_ = false;   // clearActiveControl() under way
    bool range_error_open_ = false; // one "Range check error" box at a time
    bool after_update_box_ = false; // the version warning or the restore question is open
    // While that box is open: brings its text up to date with a block from the unit.
    std::function<void()> range_box_follows_;
    bool show_all_next_ = false; // the next refresh shows the block in the focused control too
    bool update_open_ = false;   // the update window is shown over this one
    QString unit_note_text_;     // discovery's last line
    QString link_note_;          // the link's line in the status bar, while shown
    uint64_t given_up_seen_ = 0; // changes given up that the operator has been told of
    bool given_up_shown_ = false;
    uint64_t written_when_given_up_ = 0;
    std::array<SelectorButton*, 4> buts_{};
    std::array<QComboBox*, 2> groups_{};
    std::array<QComboBox*, 8> srcs_{};
    std::array<QLabel*, 8> csrcs_{};
    // Each dialog offers the name last chosen in it.
    QString fsave_name_ = QStringLiteral("config.cfg");
    QString open_name_ = QStringLiteral("config.cfg");
};
