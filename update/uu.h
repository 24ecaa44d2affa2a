// The update window: the unit's identity, the firmware update and the reset of the unit's settings.
#pragma once

#include <QDialog>
#include <QTimer>

class QPushButton;

class Tfu : public QDialog {
    Q_OBJECT
public:
    explicit Tfu(QWidget* parent = nullptr);
    ~Tfu() override;

    // An update, or the choice of its file, is in progress: no update poll is sent.
    bool upd_busy = false;
    // The unit has answered cmd_finish: the next tick closes the window.
    bool upd_done = false;

    QTimer tmrb;
    QPushButton* cancel;

    void tmrbTimer();
    void cancelClick();
    // The unit's replies, shown here (user-interface thread).
    void finishReply(bool ok);
    void defaultsReply();

protected:
    void showEvent(QShowEvent* event) override;
    void reject() override; // Escape acts as "Закрыть"

private:
    void FormShow();
    void info(const QString& text);
};

extern Tfu* fu;

// Caption of the update window's message boxes.
inline const char* const update_caption = "Обновление программного обеспечения";
