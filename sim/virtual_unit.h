// A simulated RV-390PKTA on the virtual HID bus or as a USB HID gadget, with handles for tests to steer it.
#pragma once

#include "sim/gadget_link.h"
#include "sim/unit_link.h"
#include "sim/unit_model.h"
#include "sim/vhid_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

struct UnitOptions {
    std::string serial = "VU-0001";
    uint16_t version = 0x0103; // VersionNumber: high byte major, low byte minor
    UnitMode mode = UnitMode::normal;
    // Held as given, so a unit can be made to report out-of-range bytes; cmd_set_par normalises.
    TparBytes settings = to_bytes(default_par);
    std::chrono::milliseconds restart_delay{300};
    std::string bus_name; // the device's socket name on the bus; "" gives "rv390pkta-<serial>"
    bool locked = false;  // listed, but hosts may not open it, as a node without permission
    UnitFaults faults;
    // Attach as the device side of a USB HID gadget (real USB through the kernel) instead of the
    // virtual bus. A refused write then cannot stall its transfer: the gadget's endpoint takes it.
    std::optional<GadgetOptions> gadget;
};

// Bytes as hex pairs separated by blanks, as the unit's event lines show them.
std::string hex(std::span<const uint8_t> bytes);

// One thing the unit did, as one printable line.
struct UnitEvent {
    enum class Kind { plugged, unplugged, command, reply, dropped, refused, restart, update, fault, note };
    Kind kind;
    std::string line;
};

// A complete, verified message the unit received (handled or ignored).
struct ReceivedCommand {
    uint8_t code;
    std::vector<uint8_t> payload;
    UnitMode mode; // what the unit ran when it arrived
};

class VirtualUnit {
public:
    explicit VirtualUnit(const UnitOptions& options = {});
    ~VirtualUnit(); // unplugs; no events are reported from here on
    VirtualUnit(const VirtualUnit&) = delete;
    VirtualUnit& operator=(const VirtualUnit&) = delete;

    // Set before plug(). Called on the unit's threads (one call at a time); it must not call plug(),
    // unplug() or the destructor.
    std::function<void(const UnitEvent&)> on_event;

    // Attaches the unit to the bus in its current mode; a plug-in starts its firmware afresh. False,
    // with error() saying why, when the bus refuses it.
    bool plug();
    // Detaches it until the next plug(), also cancelling the return of a restart under way.
    void unplug();
    bool plugged() const;
    std::string error() const;
    // As the unit does by itself: unplugs, waits the restart delay and comes back in `mode`.
    // Returns at once. A unit that is unplugged only changes the mode it will come back in.
    void restart(UnitMode mode);

    UnitMode mode() const;
    std::string product() const; // "RV-390PKTA" or "RV-390PKTA(boot)"
    std::string bus_name() const { return bus_name_; }

    TparBytes settings() const;
    void set_settings(const TparBytes& block); // held as given
    std::vector<uint8_t> flash() const;        // 64 KiB
    std::vector<uint8_t> eeprom() const;       // 4 KiB
    UnitModel::Session session() const;        // the boot loader's view of the update under way
    std::optional<bool> last_update() const;   // result of the last cmd_finish answered

    UnitFaults faults() const;
    // Also starts the random source of the random faults again from faults.seed.
    void set_faults(const UnitFaults& faults);

    // Every command received, or those from the index `from` on.
    std::vector<ReceivedCommand> commands(std::size_t from = 0) const;
    std::size_t command_count() const;
    unsigned restarts() const; // restarts that brought the unit back onto the bus
    // Block until the condition holds or the timeout passes; true when it holds.
    bool wait_for_commands(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_restarts(unsigned n, std::chrono::milliseconds timeout) const;
    bool wait_for_plugged(bool state, std::chrono::milliseconds timeout) const;

private:
    enum class Action { restart_boot, restart_normal, unplug };

    // `control`: the report came as a control transfer, whose acknowledgement the host waits for.
    bool take_report(const std::vector<uint8_t>& report, bool control);
    void process(const std::vector<uint8_t>& message, std::vector<UnitEvent>& events,
                 std::vector<uint8_t>& reply, std::optional<Action>& then, bool& ack);
    void send_reply(const std::vector<uint8_t>& message, const UnitFaults& faults);
    void answer_late();            // the late_answer fault, before a control-path report is taken
    bool chance(unsigned percent); // m_ held
    void link_pause(std::chrono::microseconds d);
    const std::chrono::steady_clock::time_point frames_from_ = std::chrono::steady_clock::now();
    void tell(const UnitEvent& e); // to on_event
    void schedule(Action a);
    void work();
    void carry_out(Action a);
    bool plug_locked();                   // life_m_ held
    void unplug_locked();                 // life_m_ held
    vhid_protocol::Info identity() const; // m_ held

    const std::string serial_;
    const uint16_t version_;
    const std::chrono::milliseconds restart_delay_;
    const std::string bus_name_;
    const bool locked_;
    VirtualHidDevice device_;
    std::unique_ptr<GadgetLink> gadget_; // instead of device_, when attached as a USB gadget

    std::mutex life_m_; // plugging and unplugging; never taken on the device's thread
    bool want_plugged_ = false;

    mutable std::mutex m_; // everything below
    mutable std::condition_variable cv_;
    UnitModel model_;
    UnitFaults faults_;
    std::mt19937_64 random_;
    unit_link::MessageAssembler assembler_;
    std::vector<ReceivedCommand> commands_;
    std::string error_;
    std::optional<Action> pending_;
    uint64_t reports_in_ = 0;
    unsigned restarts_ = 0;
    bool plugged_ = false;
    bool going_down_ = false; // a restart or unplug is decided: further reports are refused
    bool unplugging_ = false; // cuts the modelled link delays short
    bool stop_ = false;

    std::mutex event_m_;
    std::thread worker_; // carries out restarts and unplugs, which cannot run on the device's thread
};
