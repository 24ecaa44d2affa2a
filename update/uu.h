// The update window: the unit's identity, the firmware update and the reset of the unit's settings.
#pragma once

#include <QDialog>
#include <QTimer>

#include "ui/settings_block.h"

#include <cstdint>
#include <functional>
#include <optional>

class Link;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTextEdit;
struct Request;

class Tfu : public QDialog {
    Q_OBJECT
public:
    // The update window of `link`'s unit.
    explicit Tfu(Link& link, QWidget* parent = nullptr);
    ~Tfu() override;

    Link& link;

    // An update, or the choice of its file, is in progress: no update poll is sent.
    bool upd_busy = false;
    // The unit has answered cmd_finish: the next tick closes the window.
    bool upd_done = false;

    QTimer tmrb;
    QPushButton* cancel;
    // The unit's identity, filled by discovery.
    QLineEdit* dev_name;
    QLineEdit* dev_serial;
    QLineEdit* dev_version;
    // White until discovery opens a unit in normal mode, then green; its description says what the colour
    // means and what the unit does now.
    QFrame* OpenIndicator;
    QProgressBar* pb;
    // Under the progress bar: "Настройки сохранены:" and the file, or "Настройки не сохранены:" and why,
    // wrapped and whole (read-only: the path can be selected and copied; the whole text is also its
    // tooltip and accessible description).
    QLabel* backup_caption;
    QTextEdit* backup_line;
    QPushButton* select; // "ВЫБРАТЬ ФАЙЛ": enabled while the unit runs its boot loader
    QPushButton* def;    // "Сброс настроек"

    void paintIndicator(const QColor& colour);

    void tmrbTimer();
    void cancelClick();
    void defClick();
    // The firmware update, from the choice of the file to cmd_finish.
    void selectClick();

    // Block operations: each returns the result of sending its own last request.
    bool write_flash(uint16_t address, const QByteArray& block);
    bool write_eep(uint16_t address, const QByteArray& block);
    bool set_erase(uint16_t address);
    // A request sent and waited for, as every block is.
    bool send_now(const Request& r);

    // The file dialog; tests replace it.
    std::function<QString()> choose_file;

    // The settings saved before the update under way, and, once the unit has reported success, the
    // block the main window offers to write back (once) when the unit is back in its firmware.
    struct Backup {
        QString serial;
        TparBytes block{};
    };
    std::optional<Backup> backup;
    std::optional<Backup> restore_offer;
    // Once the unit has reported success: the version the file's header names, which the main window
    // compares (once) with the version the unit reports when it is back in its firmware.
    struct Expected {
        QString serial;
        QString version; // "major.minor"
    };
    std::optional<Expected> expected_version;
    // The unit's replies, shown here (user-interface thread).
    void finishReply(bool ok);
    void defaultsReply();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void reject() override; // Escape acts as "Закрыть"

private:
    // What discovery last found, for the indicator's description.
    enum class UnitState { none_yet, absent, not_open, normal, boot_loader };

    void FormShow();
    // From its first request to its closing, the window keeps to the unit it was opened for: discovery
    // opens no other one meanwhile (another unit would be restarted into its boot loader too).
    void keepToUnit();
    void releaseUnit();
    void describeIndicator();
    void error(const QString& text);
    void ready(); // buttons back on, not busy
    void progress_error(bool on);
    void save_settings_first();
    QString sending_version_; // the header's version of the file being written
    void info(const QString& text);

    UnitState unit_state_ = UnitState::none_yet;
    bool keeping_ = false;
    QString choice_before_; // discovery's choice before the window kept to its unit
};

// Caption of the update window's message boxes.
inline const char* const update_caption = "Обновление программного обеспечения";
