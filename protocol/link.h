// The link to one unit: its own instance of the library, its worker and mailbox, its settings block with
// the gate and edit counting, the reassembly of its replies, its health, the blocks it remembers and the
// unit it has chosen. Whoever needs a unit builds a link and passes it by reference; one process may hold
// several, each with its own unit open.
#pragma once

#include "core/Tthr.h"
#include "core/mailbox.h"
#include "core/unit_identity.h"
#include "protocol/HID.h"
#include "protocol/link_health.h"
#include "protocol/reassembly.h"
#include "protocol/unit_blocks.h"
#include "protocol/unit_scan.h"
#include "ui/settings.h"
#include "ui/settings_gate.h"

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

class UiHandover;

class Link : public QObject {
    Q_OBJECT
public:
    // Built on the user-interface thread, whose hand-over it posts through.
    explicit Link(UiHandover& handover);
    // Stops the worker, detaches from the library and unloads its instance: nothing of the link runs
    // after it returns.
    ~Link() override;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Device-link initialisation, run on every activation of the main window: starts the worker, puts
    // the library file in place, loads the library and runs discovery. False when the library could
    // not be loaded; usb_init_error() then says why. Throws LibraryFileError when the file cannot be
    // written.
    bool usb_init();
    QString usb_init_error() const { return init_error_; }
    // The link without the library file and without discovery, for hosts that choose their units
    // themselves: loads the carried library from memory and installs the handlers. False, with `error`
    // set, when it cannot be loaded. A second call finds it loaded and goes on with it.
    bool usb_load(QString& error);
    // Detaches the link from the library: no handler of the link runs after it returns, and the unit
    // is closed. Run after the worker has stopped.
    void usb_shutdown();

    // Discovery: closes the open unit, scans, opens the first unit found (or the one chosen with
    // choose_unit) and tells the windows its mode (user-interface thread; also the library's
    // device-change handler).
    void usb_connect();
    // Which unit discovery takes among several: the one with this serial number or node/bus path; empty
    // (the default) takes the first found.
    void choose_unit(const QString& serial_or_path) { chosen_ = serial_or_path; }
    QString chosen_unit() const { return chosen_; }
    // Without a chosen unit: the unit with this serial number when it is connected, else the first found.
    void prefer_unit(const QString& serial) { preferred_ = serial; }
    // Discovery only scans and tells units_found; it opens no unit (a host that watches what is connected
    // while other links drive the units).
    void scan_only() { scan_only_ = true; }

    // The settings poll: posts cmd_get_par unless the open unit runs its boot loader. The main window
    // posts it every timings::settings_poll; a host without windows drives it the same way.
    void poll_settings();
    // Queues the operator's block as it stands, with its edit, as one write; until the open unit's own
    // block has arrived, `par` is not its settings and nothing is queued.
    void save();
    // Worker thread: frames and sends one request. True when the last report was accepted; false at
    // once when no unit is open. A framing error is told on the user-interface thread.
    bool usb_send(const Request& r);

    // Input thread: one input report, and a complete verified reply (at least 58 bytes).
    void hid_event(const THIDreport& report);
    void reply_dispatch(std::span<const uint8_t> message);

    // A unit is open through the library (written by discovery, read by the worker).
    bool is_open() const { return dev_open.load(std::memory_order_acquire); }
    // The open unit runs its boot loader: the settings poll is off.
    bool in_boot_loader() const { return is_open() && boot_mode.load(std::memory_order_acquire); }
    // Set by a host that listens to settings_reply, before the link starts: only then is every reply
    // handed over (the windows need none of them, and an idle window should not wake for them).
    void want_settings_replies() { replies_wanted_ = true; }

    UiHandover& ui;
    THIDentries hid; // bound by usb_load; tests may fill it with doubles
    Mailbox mailbox;
    SettingsGate gate;
    SharedPar par{gate};
    LinkHealth health;
    UnitBlocks blocks;
    std::atomic<bool> dev_open{false};
    std::atomic<bool> boot_mode{false};
    Tthr thr;

signals:
    // On the user-interface thread only.
    void refresh(); // a settings block from the unit is in `par`
    void error(const QString& text);
    void update_result(bool ok); // the unit answered cmd_finish
    void defaults_reset();       // the unit answered cmd_defaults
    // Discovery: the unit found (an empty identity: none), the mode it was opened in, whether the
    // settings controls may be used, and a line for the operator (empty: nothing to say).
    void unit_identity(const UnitIdentity& unit);
    // Every unit the scan found, in the library's order, before discovery opens one of them.
    void units_found(const std::vector<FoundUnit>& units);
    void unit_opened(OpenedMode mode);
    void settings_controls(bool enable);
    void note(const QString& text);
    // How the link is doing, or what became of the operator's changes, may have changed.
    void link_changed();
    // Every settings block the unit sends, as sent, in arrival order, with the command it answers
    // (cmd_get_par or cmd_set_par): for a host that waits for the answer to its own request.
    void settings_reply(uint8_t command, const std::array<uint8_t, 17>& block);

private:
    void discover();
    void close_settings(); // no unit in normal firmware is open: the gate closes, pending edits go
    // The one way in for a settings reply: sanitised once, then block, gate and remembered blocks
    // together, and one coalesced refresh for the window.
    void take_settings(uint8_t command, std::span<const uint8_t, sizeof(Tpar)> bytes);
    // The operator's block as it stands, as a write request.
    Request write_request() const;
    static void relay_report(void* link, THIDreport report, uint8_t count);
    static void relay_change(void* link);

    ModuleInstance library_;
    ModuleInstance relay_;
    Reassembler reassembler_; // input thread only
    std::atomic<bool> refresh_posted_{false};
    std::atomic<bool> replies_wanted_{false};
    QString init_error_;
    // The unit that was last opened in normal firmware: reopening the same one keeps its settings valid.
    QString last_path_;
    QString last_serial_;
    QString chosen_;
    QString preferred_;
    bool scan_only_ = false;
    // The serial number of the unit last opened, in either mode, and the line that says another one was
    // opened in its place: said until yet another unit is opened or none is found.
    QString last_opened_;
    QString switch_note_;
};
