// The unit's firmware and boot loader as a plain state machine: settings, flash and EEPROM, no threads.
#pragma once

#include "ui/settings_block.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

enum class UnitMode { normal, boot };

inline constexpr std::size_t unit_flash_size = 0x10000; // 64 KiB: every 16-bit address
inline constexpr std::size_t unit_eeprom_size = 0x1000; // 4 KiB
inline constexpr std::size_t unit_page_size = 512;      // flash erase unit, and the update's block
inline constexpr std::size_t unit_flash_pages = unit_flash_size / unit_page_size;
inline constexpr std::size_t unit_eeprom_blocks = unit_eeprom_size / unit_page_size;

// Faults the unit can be told to show. All off by default.
struct UnitFaults {
    unsigned drop_every = 0;          // drop every Nth output report that arrives (0: none)
    bool corrupt_crc = false;         // replies carry a wrong CRC
    bool wrong_length = false;        // replies' length field is one more than their payload
    bool silent_finish = false;       // cmd_finish gets no reply and the unit stays in its boot loader
    bool fail_update = false;         // cmd_finish reports failure whatever happened
    bool refuse_writes = false;       // every cmd_write_flash and cmd_write_eep is refused
    bool keep_settings = false;       // cmd_set_par is answered with the block it had: writes not taken
    unsigned unplug_after_blocks = 0; // the link drops after this many write blocks (0: never)
    std::chrono::microseconds report_delay{0}; // slow link: each report, either way, takes this long
    // Faults drawn at random, each time from the unit's random source (seeded with `seed`):
    std::chrono::milliseconds late_answer_max{0}; // an output report's control-path acknowledgement
    unsigned late_answer_percent = 100;           // comes this often 0..late_answer_max late (0: never)
    unsigned drop_reply_percent = 0;              // replies not sent
    unsigned corrupt_reply_percent = 0;           // replies sent with a wrong CRC
    uint64_t seed = 0;                            // the random source starts here when faults are set

    bool operator==(const UnitFaults&) const = default;
};

// The unit's own rule for a block written to it: the ranges of the utility's sanitise, and in addition
// xlr_gain and headroom clamped to the ranges of the settings table, and agr to 0 or 1.
TparBytes normalise_settings(const TparBytes& block);

// A fresh unit's flash: a stand-in for its factory firmware (byte at address a is (a * 7 + 1) mod 256),
// so erasing and writing are visible. A fresh EEPROM holds zeros.
std::vector<uint8_t> factory_flash();

class UnitModel {
public:
    UnitModel(UnitMode mode, const TparBytes& settings);

    // What one command leads to.
    struct Outcome {
        std::optional<uint8_t> reply_type;  // a reply is sent with this type...
        std::vector<uint8_t> reply_payload; // ...and this payload
        enum class Then { stay, restart_boot, restart_normal } then = Then::stay;
        bool refused = false;     // a write or erase that was not carried out
        bool write_block = false; // a write command of an update (counts for unplug_after_blocks)
        std::string what;         // what the unit did, one line for its log
    };

    // The firmware of the current mode starts: a boot loader forgets its erase marks and failures.
    void power_on();
    Outcome handle(uint8_t type, std::span<const uint8_t> payload, const UnitFaults& faults);
    // The unit is restarting into this mode (takes effect at the next power_on()).
    void set_mode(UnitMode mode) { mode_ = mode; }

    UnitMode mode() const { return mode_; }
    const TparBytes& settings() const { return settings_; }
    void set_settings(const TparBytes& block) { settings_ = block; }
    std::vector<uint8_t>& flash() { return flash_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    std::vector<uint8_t>& eeprom() { return eeprom_; }
    const std::vector<uint8_t>& eeprom() const { return eeprom_; }

    // The boot loader session: what it accepted and refused since it started (kept through the normal
    // firmware that follows, until the boot loader starts again).
    struct Session {
        std::bitset<unit_flash_pages> erased;        // erased since the boot loader started
        std::bitset<unit_flash_pages> flash_written; // pages that took a write
        std::bitset<unit_eeprom_blocks> eeprom_written;
        unsigned write_blocks = 0; // write commands received
        unsigned refused = 0;      // writes and erases refused
    };
    const Session& session() const { return session_; }
    // Result of the last cmd_finish answered: true when the update was reported good.
    std::optional<bool> last_update() const { return last_update_; }

private:
    Outcome settings_reply(uint8_t type, std::string what);
    Outcome erase(std::span<const uint8_t> payload);
    Outcome write(uint8_t type, std::span<const uint8_t> payload, const UnitFaults& faults);

    UnitMode mode_;
    TparBytes settings_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> eeprom_;
    Session session_;
    std::optional<bool> last_update_;
};
