// The virtual unit: serving the unit model on the bus, restarts, fault injection and the command log.
#include "sim/virtual_unit.h"

#include "sim/update_file.h"

#include "protocol/commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

std::string hex(std::span<const uint8_t> bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%s%02X", s.empty() ? "" : " ", v);
        s += b;
    }
    return s;
}

namespace {

// Vendor-defined, report ID 1, 64-byte input and output reports: the library reports 65-byte lengths.
const std::vector<uint8_t> unit_descriptor{
    0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
    0x09, 0x01,       // Usage 1
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID 1
    0x15, 0x00,       //   Logical Minimum 0
    0x26, 0xFF, 0x00, //   Logical Maximum 255
    0x75, 0x08,       //   Report Size 8
    0x95, 0x40,       //   Report Count 64
    0x09, 0x01,       //   Usage 1
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0x02,       //   Usage 2
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xC0,             // End Collection
};

constexpr uint16_t unit_vendor_id = 0x7A39; // made up
constexpr uint16_t unit_product_id = 0x0390;
constexpr uint16_t boot_product_id = 0x0391;

std::string default_bus_name(const std::string& serial) {
    std::string name = "rv390pkta-" + serial;
    for (char& c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            c = '_';
    return name;
}

std::string describe_command(uint8_t code, std::span<const uint8_t> payload) {
    char head[48];
    std::snprintf(head, sizeof head, "command %s (0x%02X)", unit_link::command_name(code).c_str(), code);
    std::string line = head;
    char detail[64];
    if ((code == cmd_write_flash || code == cmd_write_eep) && payload.size() >= 4) {
        std::snprintf(detail, sizeof detail, ": address 0x%04X, length %u", payload[0] << 8 | payload[1],
                      static_cast<unsigned>(payload[2] << 8 | payload[3]));
        line += detail;
    } else if (code == cmd_erase && payload.size() == 2) {
        std::snprintf(detail, sizeof detail, ": address 0x%04X", payload[0] << 8 | payload[1]);
        line += detail;
    } else if (code == cmd_set_par) {
        line += ": " + hex(payload);
    } else if (!payload.empty()) {
        line += ": " + std::to_string(payload.size()) + " bytes";
    }
    return line;
}

const char* mode_text(UnitMode mode) {
    return mode == UnitMode::boot ? "boot loader" : "normal firmware";
}

} // namespace

VirtualUnit::VirtualUnit(const UnitOptions& o)
    : serial_(o.serial), version_(o.version), restart_delay_(o.restart_delay),
      bus_name_(o.bus_name.empty() ? default_bus_name(o.serial) : o.bus_name), locked_(o.locked),
      device_(bus_name_, {}), model_(o.mode, o.settings), faults_(o.faults), random_(o.faults.seed) {
    device_.on_set_output = [this](const std::vector<uint8_t>& r) { return take_report(r, true); };
    device_.on_output = [this](const std::vector<uint8_t>& r) { (void)take_report(r, false); };
    if (o.gadget) {
        gadget_ = std::make_unique<GadgetLink>(*o.gadget);
        // The gadget's endpoint takes every report at once: nothing to answer late.
        gadget_->on_output = [this](const std::vector<uint8_t>& r) { (void)take_report(r, false); };
    }
    worker_ = std::thread([this] { work(); });
}

VirtualUnit::~VirtualUnit() {
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
    {
        std::lock_guard lock(event_m_);
        on_event = nullptr;
    }
    std::lock_guard life(life_m_);
    unplug_locked();
}

vhid_protocol::Info VirtualUnit::identity() const {
    const bool boot = model_.mode() == UnitMode::boot;
    vhid_protocol::Info i;
    i.vendor = unit_vendor_id;
    i.product = boot ? boot_product_id : unit_product_id;
    // The firmware in flash names its version once an update has put one there.
    i.version = boot ? version_ : firmware_version(model_.flash()).value_or(version_);
    i.manufacturer = "VOK-RZ";
    i.product_name = boot ? "RV-390PKTA(boot)" : "RV-390PKTA";
    i.serial = serial_;
    i.descriptor = unit_descriptor;
    i.flags = locked_ ? vhid_protocol::FLAG_QUERY_ONLY : 0;
    return i;
}

bool VirtualUnit::plug() {
    std::lock_guard life(life_m_);
    want_plugged_ = true;
    return plug_locked();
}

void VirtualUnit::unplug() {
    std::lock_guard life(life_m_);
    want_plugged_ = false;
    unplug_locked();
}

bool VirtualUnit::plug_locked() {
    vhid_protocol::Info info;
    {
        std::lock_guard lock(m_);
        if (plugged_)
            return true;
        model_.power_on();
        assembler_.reset();
        going_down_ = false;
        info = identity();
    }
    device_.set_info(info);
    if (gadget_ ? !gadget_->plug(info) : !device_.plug()) {
        std::lock_guard lock(m_);
        error_ = gadget_ ? gadget_->error() : device_.error();
        return false;
    }
    {
        std::lock_guard lock(m_);
        plugged_ = true;
    }
    cv_.notify_all();
    char line[160];
    std::snprintf(line, sizeof line, "plugged %s, serial %s, version %u.%u (%s)", info.product_name->c_str(),
                  serial_.c_str(), info.version >> 8, info.version & 0xFF,
                  info.product == boot_product_id ? "boot loader" : "normal firmware");
    tell({UnitEvent::Kind::plugged, line});
    return true;
}

void VirtualUnit::unplug_locked() {
    {
        std::lock_guard lock(m_);
        if (!plugged_)
            return;
        unplugging_ = true;
    }
    cv_.notify_all();
    if (gadget_)
        gadget_->unplug();
    else
        device_.unplug();
    {
        std::lock_guard lock(m_);
        unplugging_ = false;
        plugged_ = false;
    }
    cv_.notify_all();
    tell({UnitEvent::Kind::unplugged, "unplugged"});
}

void VirtualUnit::restart(UnitMode mode) {
    {
        std::lock_guard lock(m_);
        going_down_ = true;
    }
    schedule(mode == UnitMode::boot ? Action::restart_boot : Action::restart_normal);
}

void VirtualUnit::schedule(Action a) {
    {
        std::lock_guard lock(m_);
        pending_ = a;
    }
    cv_.notify_all();
}

void VirtualUnit::work() {
    std::unique_lock lock(m_);
    for (;;) {
        cv_.wait(lock, [&] { return stop_ || pending_.has_value(); });
        if (stop_)
            return;
        const Action a = *pending_;
        pending_.reset();
        lock.unlock();
        carry_out(a);
        lock.lock();
    }
}

void VirtualUnit::carry_out(Action a) {
    {
        std::lock_guard life(life_m_);
        if (a == Action::unplug)
            want_plugged_ = false; // the cable is out until someone plugs it back
        unplug_locked();
    }
    if (a == Action::unplug)
        return;
    const UnitMode mode = a == Action::restart_boot ? UnitMode::boot : UnitMode::normal;
    {
        std::lock_guard lock(m_);
        model_.set_mode(mode);
    }
    tell({UnitEvent::Kind::restart, std::string("restarting into the ") + mode_text(mode) + " (" +
                                        std::to_string(restart_delay_.count()) + " ms)"});
    {
        // The unit's restart time: modelled, so a timed wait; cut short only when the unit goes away.
        std::unique_lock lock(m_);
        if (cv_.wait_for(lock, restart_delay_, [&] { return stop_; }))
            return;
    }
    std::lock_guard life(life_m_);
    if (!want_plugged_ || !plug_locked())
        return;
    {
        std::lock_guard lock(m_);
        ++restarts_;
    }
    cv_.notify_all();
}

void VirtualUnit::link_pause(std::chrono::microseconds d) {
    if (d.count() <= 0)
        return;
    // The modelled link runs in frames of this length, as full-speed USB does in 1 ms frames: a report
    // that arrives during one frame is through at the end of it. So the host's own turnaround, when it
    // is shorter than a frame, costs nothing, and the pauses' own lateness does not add up.
    const auto since = std::chrono::steady_clock::now() - frames_from_;
    const auto frame_end = frames_from_ + (since / d + 1) * d;
    std::unique_lock lock(m_);
    cv_.wait_until(lock, frame_end, [&] { return stop_ || unplugging_; });
}

void VirtualUnit::tell(const UnitEvent& e) {
    std::lock_guard lock(event_m_);
    if (on_event)
        on_event(e);
}

bool VirtualUnit::chance(unsigned percent) {
    if (percent == 0)
        return false;
    return percent >= 100 || std::uniform_int_distribution<unsigned>(0, 99)(random_) < percent;
}

bool VirtualUnit::take_report(const std::vector<uint8_t>& report, bool control) {
    if (control)
        answer_late();
    UnitFaults faults = this->faults();
    link_pause(faults.report_delay);
    std::vector<UnitEvent> events;
    std::vector<uint8_t> reply;
    std::optional<Action> then;
    bool ack = true;
    {
        std::lock_guard lock(m_);
        if (going_down_)
            return false; // the unit is leaving the bus
        faults = faults_;
        ++reports_in_;
        if (faults.drop_every != 0 && reports_in_ % faults.drop_every == 0) {
            events.push_back({UnitEvent::Kind::fault, "fault: dropped report " + std::to_string(reports_in_) +
                                                          " (every " + std::to_string(faults.drop_every) +
                                                          ")"});
        } else {
            auto r = assembler_.feed(report);
            if (r.kind == unit_link::MessageAssembler::Result::Kind::dropped)
                events.push_back({UnitEvent::Kind::dropped, "dropped: " + r.why});
            else if (r.kind == unit_link::MessageAssembler::Result::Kind::complete)
                process(r.message, events, reply, then, ack);
        }
    }
    for (const UnitEvent& e : events)
        tell(e);
    if (!reply.empty())
        send_reply(reply, faults);
    if (then)
        schedule(*then);
    return ack;
}

void VirtualUnit::answer_late() {
    std::chrono::milliseconds late{0};
    {
        std::lock_guard lock(m_);
        const auto max = faults_.late_answer_max.count();
        if (max > 0 && chance(faults_.late_answer_percent))
            late = std::chrono::milliseconds(std::uniform_int_distribution<long long>(0, max)(random_));
    }
    if (late.count() == 0)
        return;
    // A busy unit: it takes the report only after the wait, so its answer and any reply come that much
    // later. A host that gave up after its second gets the answer late on the same connection, and the
    // unit still acts on the report, as one that had the data but could not end the transfer in time.
    tell({UnitEvent::Kind::fault, "fault: answer " + std::to_string(late.count()) + " ms late"});
    std::unique_lock lock(m_);
    cv_.wait_for(lock, late, [&] { return stop_ || unplugging_; });
}

void VirtualUnit::process(const std::vector<uint8_t>& message, std::vector<UnitEvent>& events,
                          std::vector<uint8_t>& reply, std::optional<Action>& then, bool& ack) {
    const uint8_t code = message[0];
    const std::size_t length = static_cast<std::size_t>(message[1]) << 8 | message[2];
    const std::span<const uint8_t> payload(message.data() + 3, length);
    commands_.push_back({code, {payload.begin(), payload.end()}, model_.mode()});
    cv_.notify_all();
    events.push_back({UnitEvent::Kind::command, describe_command(code, payload)});

    const UnitModel::Outcome o = model_.handle(code, payload, faults_);
    using Then = UnitModel::Outcome::Then;
    UnitEvent::Kind kind = UnitEvent::Kind::note;
    if (o.refused)
        kind = UnitEvent::Kind::refused;
    else if (code == cmd_finish && model_.mode() == UnitMode::boot)
        kind = faults_.silent_finish ? UnitEvent::Kind::fault : UnitEvent::Kind::update;
    events.push_back({kind, o.what});
    if (o.reply_type) {
        if (chance(faults_.drop_reply_percent)) {
            events.push_back({UnitEvent::Kind::fault,
                              "fault: reply " + unit_link::command_name(*o.reply_type) + " not sent"});
        } else {
            const bool corrupt = faults_.corrupt_crc || chance(faults_.corrupt_reply_percent);
            reply = unit_link::reply_message(*o.reply_type, o.reply_payload,
                                             {.corrupt_crc = corrupt, .wrong_length = faults_.wrong_length});
            if (corrupt)
                events.push_back(
                    {UnitEvent::Kind::fault,
                     "fault: reply " + unit_link::command_name(*o.reply_type) + " with a wrong CRC"});
        }
    }
    ack = !o.refused; // a refused write stalls its last report: the host's send fails
    if (o.then != Then::stay) {
        going_down_ = true;
        then = o.then == Then::restart_boot ? Action::restart_boot : Action::restart_normal;
    } else if (o.write_block && faults_.unplug_after_blocks != 0 &&
               model_.session().write_blocks == faults_.unplug_after_blocks) {
        going_down_ = true;
        then = Action::unplug;
        events.push_back(
            {UnitEvent::Kind::fault,
             "fault: link lost after " + std::to_string(faults_.unplug_after_blocks) + " blocks"});
    }
}

void VirtualUnit::send_reply(const std::vector<uint8_t>& message, const UnitFaults& faults) {
    const auto reports = unit_link::input_reports(message);
    for (const auto& r : reports) {
        link_pause(faults.report_delay);
        if (gadget_)
            (void)gadget_->send_input(r);
        else
            device_.send_input(r);
    }
    char line[128];
    std::snprintf(line, sizeof line, "reply %s (0x%02X): %zu bytes in %zu report%s%s",
                  unit_link::command_name(message[0]).c_str(), message[0], message.size(), reports.size(),
                  reports.size() == 1 ? "" : "s", faults.wrong_length ? ", length field wrong (fault)" : "");
    tell({UnitEvent::Kind::reply, line});
}

bool VirtualUnit::plugged() const {
    std::lock_guard lock(m_);
    return plugged_;
}

std::string VirtualUnit::error() const {
    std::lock_guard lock(m_);
    return error_;
}

UnitMode VirtualUnit::mode() const {
    std::lock_guard lock(m_);
    return model_.mode();
}

std::string VirtualUnit::product() const {
    std::lock_guard lock(m_);
    return *identity().product_name;
}

TparBytes VirtualUnit::settings() const {
    std::lock_guard lock(m_);
    return model_.settings();
}

void VirtualUnit::set_settings(const TparBytes& block) {
    std::lock_guard lock(m_);
    model_.set_settings(block);
}

std::vector<uint8_t> VirtualUnit::flash() const {
    std::lock_guard lock(m_);
    return model_.flash();
}

std::vector<uint8_t> VirtualUnit::eeprom() const {
    std::lock_guard lock(m_);
    return model_.eeprom();
}

UnitModel::Session VirtualUnit::session() const {
    std::lock_guard lock(m_);
    return model_.session();
}

std::optional<bool> VirtualUnit::last_update() const {
    std::lock_guard lock(m_);
    return model_.last_update();
}

UnitFaults VirtualUnit::faults() const {
    std::lock_guard lock(m_);
    return faults_;
}

void VirtualUnit::set_faults(const UnitFaults& faults) {
    {
        std::lock_guard lock(m_);
        faults_ = faults;
        random_.seed(faults.seed);
    }
    cv_.notify_all();
}

std::vector<ReceivedCommand> VirtualUnit::commands(std::size_t from) const {
    std::lock_guard lock(m_);
    return {commands_.begin() + static_cast<std::ptrdiff_t>(std::min(from, commands_.size())),
            commands_.end()};
}

std::size_t VirtualUnit::command_count() const {
    std::lock_guard lock(m_);
    return commands_.size();
}

unsigned VirtualUnit::restarts() const {
    std::lock_guard lock(m_);
    return restarts_;
}

bool VirtualUnit::wait_for_commands(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return commands_.size() >= n; });
}

bool VirtualUnit::wait_for_restarts(unsigned n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return restarts_ >= n; });
}

bool VirtualUnit::wait_for_plugged(bool state, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return plugged_ == state; });
}
