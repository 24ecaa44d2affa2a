// What the unit's normal firmware and its boot loader do with each command.
#include "sim/unit_model.h"

#include "ui/settings_table.h"

#include "protocol/commands.h"
#include "sim/unit_link.h"

#include <algorithm>
#include <cstdio>

namespace {
using Outcome = UnitModel::Outcome;
using Then = Outcome::Then;

Outcome said(std::string what, Then then = Then::stay) {
    Outcome o;
    o.then = then;
    o.what = std::move(what);
    return o;
}

Outcome replied(uint8_t type, std::vector<uint8_t> payload, std::string what, Then then = Then::stay) {
    Outcome o = said(std::move(what), then);
    o.reply_type = type;
    o.reply_payload = std::move(payload);
    return o;
}

std::string hex16(unsigned v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%04X", v & 0xFFFF);
    return s;
}
} // namespace

TparBytes normalise_settings(const TparBytes& block) {
    Tpar p = from_bytes(block);
    sanitise(p);
    // The firmware keeps its levels within the ranges the utility's controls have.
    const auto clamp = [](int8_t& v, const char* key) {
        const SettingsField& f = *settings_field(key);
        v = static_cast<int8_t>(std::clamp<int>(v, f.low, f.high));
    };
    clamp(p.xlr_gain, "analog_gain");
    clamp(p.headroom, "headroom");
    p.agr = p.agr != 0 ? 1 : 0;
    return to_bytes(p);
}

std::vector<uint8_t> factory_flash() {
    std::vector<uint8_t> f(unit_flash_size);
    for (std::size_t a = 0; a < f.size(); ++a)
        f[a] = static_cast<uint8_t>(a * 7 + 1);
    return f;
}

UnitModel::UnitModel(UnitMode mode, const TparBytes& settings)
    : mode_(mode), settings_(settings), flash_(factory_flash()), eeprom_(unit_eeprom_size, 0) {}

void UnitModel::power_on() {
    if (mode_ == UnitMode::boot)
        session_ = {}; // the normal firmware keeps the record of the last update for inspection
}

UnitModel::Outcome UnitModel::settings_reply(uint8_t type, std::string what) {
    return replied(type, {settings_.begin(), settings_.end()}, std::move(what));
}

UnitModel::Outcome UnitModel::handle(uint8_t type, std::span<const uint8_t> payload,
                                     const UnitFaults& faults) {
    const std::string name = unit_link::command_name(type);
    if (mode_ == UnitMode::normal) {
        switch (type) {
        case cmd_get_par:
            return settings_reply(cmd_get_par, "settings sent");
        case cmd_set_par:
            if (payload.size() != settings_.size())
                return said("ignored: cmd_set_par with " + std::to_string(payload.size()) + " bytes, not 17");
            if (faults.keep_settings)
                return settings_reply(cmd_set_par, "fault: settings not stored, the old ones sent back");
            std::copy(payload.begin(), payload.end(), settings_.begin());
            settings_ = normalise_settings(settings_);
            return settings_reply(cmd_set_par, "settings stored");
        case cmd_upd_poll:
            return said("update poll: the unit restarts into its boot loader", Then::restart_boot);
        default:
            return said("ignored by the normal firmware: " + name);
        }
    }
    switch (type) {
    case cmd_erase:
        return erase(payload);
    case cmd_write_flash:
    case cmd_write_eep:
        return write(type, payload, faults);
    case cmd_defaults:
        settings_ = to_bytes(default_par);
        return replied(cmd_defaults, {}, "settings reset to the defaults");
    case cmd_finish: {
        if (faults.silent_finish)
            return said("fault: cmd_finish left unanswered, the unit stays in its boot loader");
        const bool ok = session_.refused == 0 && !faults.fail_update;
        last_update_ = ok;
        std::string what = "update finished: success";
        if (!ok)
            what =
                "update finished: failure (" +
                (faults.fail_update ? std::string("fault") : std::to_string(session_.refused) + " refused") +
                ")";
        return replied(cmd_finish, {static_cast<uint8_t>(ok ? 1 : 0)}, what, Then::restart_normal);
    }
    case cmd_upd_close:
        return said("update closed: the unit restarts into its normal firmware", Then::restart_normal);
    default:
        return said("ignored by the boot loader: " + name);
    }
}

UnitModel::Outcome UnitModel::erase(std::span<const uint8_t> payload) {
    if (payload.size() != 2) {
        ++session_.refused;
        Outcome o = said("refused erase: " + std::to_string(payload.size()) + " bytes of payload, not 2");
        o.refused = true;
        return o;
    }
    const std::size_t address = static_cast<std::size_t>(payload[0]) << 8 | payload[1];
    // An update starts at flash address 0: a new attempt after a refused one starts a new session,
    // so its result is its own.
    if (address == 0)
        session_ = {};
    const std::size_t page = address / unit_page_size;
    std::fill_n(flash_.begin() + static_cast<std::ptrdiff_t>(page * unit_page_size), unit_page_size, 0xFF);
    session_.erased.set(page);
    return said("erased flash " + hex16(page * unit_page_size) + ".." +
                hex16((page + 1) * unit_page_size - 1));
}

UnitModel::Outcome UnitModel::write(uint8_t type, std::span<const uint8_t> payload,
                                    const UnitFaults& faults) {
    const bool to_flash = type == cmd_write_flash;
    const char* memory = to_flash ? "flash" : "EEPROM";
    Outcome o;
    o.write_block = true;
    ++session_.write_blocks;
    const auto refuse = [&](const std::string& why) {
        ++session_.refused;
        o.refused = true;
        o.what = std::string("refused ") + memory + " write: " + why;
        return o;
    };
    if (payload.size() < 4)
        return refuse("payload of " + std::to_string(payload.size()) + " bytes has no address and length");
    const std::size_t address = static_cast<std::size_t>(payload[0]) << 8 | payload[1];
    const std::size_t n = static_cast<std::size_t>(payload[2]) << 8 | payload[3];
    if (payload.size() != 4 + n)
        return refuse("length field " + std::to_string(n) + " but " + std::to_string(payload.size() - 4) +
                      " data bytes");
    if (faults.refuse_writes)
        return refuse("fault: writes refused");
    std::vector<uint8_t>& memory_bytes = to_flash ? flash_ : eeprom_;
    if (address + n > memory_bytes.size())
        return refuse(std::to_string(n) + " bytes at " + hex16(address) + " run past the end (" +
                      std::to_string(memory_bytes.size()) + " bytes)");
    if (n == 0)
        return refuse("no data");
    const std::size_t first = address / unit_page_size;
    const std::size_t last = (address + n - 1) / unit_page_size;
    if (to_flash)
        for (std::size_t page = first; page <= last; ++page)
            if (!session_.erased.test(page))
                return refuse("page " + hex16(page * unit_page_size) +
                              " not erased since the boot loader started");
    std::copy(payload.begin() + 4, payload.end(),
              memory_bytes.begin() + static_cast<std::ptrdiff_t>(address));
    for (std::size_t page = first; page <= last; ++page)
        if (to_flash)
            session_.flash_written.set(page);
        else
            session_.eeprom_written.set(page);
    o.what = "wrote " + std::to_string(n) + " bytes of " + memory + " at " + hex16(address);
    return o;
}
