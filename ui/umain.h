// The main window: the operator's view of the unit's settings, and the hooks that run the link.
#pragma once

#include <QMainWindow>
#include <QTimer>

class Tfmain : public QMainWindow {
    Q_OBJECT
public:
    Tfmain();
    ~Tfmain() override;

    // Enables or disables every control placed on the window; the menu stays usable.
    void Cont(bool enable);
    // Shows `par` in the controls that do not hold the focus.
    void refresh();

    QTimer tmr; // the settings poll

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormActivate();
    void FormClose();
    void tmrTimer();

    QWidget* controls_; // holds every control placed on the window
    bool activating_ = false;
};

extern Tfmain* fmain;
