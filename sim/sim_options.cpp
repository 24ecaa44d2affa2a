// Parsing rv390pkta-sim's options, settings blocks and fault switches, refusing bad input with a reason.
#include "sim/sim_options.h"

#include "rv390pkta_version.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace {

[[noreturn]] void bad(const std::string& what) {
    throw std::invalid_argument(what);
}

unsigned long number(std::string_view text, const std::string& what, unsigned long max) {
    unsigned long v = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        bad(what + ": '" + std::string(text) + "' is not a whole number");
    if (v > max)
        bad(what + ": " + std::to_string(v) + " is above the limit of " + std::to_string(max));
    return v;
}

// "1.3" (major.minor, 0..255 each) or a 16-bit number ("0x0103", "259").
uint16_t firmware_version(std::string_view text) {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos)
        return static_cast<uint16_t>(number(text, "--version", 0xFFFF));
    const auto major = number(text.substr(0, dot), "--version major", 255);
    const auto minor = number(text.substr(dot + 1), "--version minor", 255);
    return static_cast<uint16_t>(major << 8 | minor);
}

// Milliseconds, fractions allowed; below 1000 ms, since the library gives up on a transfer after a second.
std::chrono::microseconds report_delay(std::string_view text) {
    double ms = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(ms))
        bad("report delay: '" + std::string(text) + "' is not a number of milliseconds");
    if (ms < 0 || ms >= 1000)
        bad("report delay: " + std::string(text) + " ms is outside 0 to below 1000 ms");
    return std::chrono::microseconds(static_cast<long long>(std::llround(ms * 1000)));
}

bool on_off(std::string_view name, std::string_view value) {
    if (value.empty() || value == "on" || value == "1" || value == "yes")
        return true;
    if (value == "off" || value == "0" || value == "no")
        return false;
    bad(std::string(name) + ": '" + std::string(value) + "' is neither on nor off");
}

void check_serial(const std::string& s) {
    if (s.empty() || s.size() > 64)
        bad("--serial: give 1 to 64 characters");
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7E)
            bad("--serial: only printable ASCII characters");
}

void check_bus_name(const std::string& s) {
    if (s.empty() || s.size() > 64 || s == "." || s == "..")
        bad("--bus-name: give 1 to 64 characters, not '.' or '..'");
    for (unsigned char c : s)
        if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.'))
            bad("--bus-name: only letters, digits, '-', '_' and '.'");
}

// "--version" with no value after it (the last argument, or an option follows) asks for the program's
// version; with a value it sets a firmware or update version, which never starts with '-'.
bool asks_program_version(const std::vector<std::string>& args, std::size_t i) {
    return args[i] == "--version" && (i + 1 >= args.size() || args[i + 1].starts_with("-"));
}

void make_update_args(const std::vector<std::string>& args, std::size_t i, SimArgs& a) {
    a.run = SimArgs::Run::make_update;
    for (; i < args.size(); ++i) {
        const std::string& o = args[i];
        if (o == "--help" || o == "-h") {
            a.run = SimArgs::Run::help;
            return;
        }
        if (asks_program_version(args, i)) {
            a.run = SimArgs::Run::version;
            return;
        }
        if (i + 1 >= args.size())
            bad("make-update: " + o + (o.starts_with("-") ? " needs a value" : " is not an option"));
        const std::string& v = args[++i];
        if (o == "--name") {
            a.update.name = v;
        } else if (o == "--version") {
            if (v.size() != 3 || !std::isdigit(static_cast<unsigned char>(v[0])) || v[1] != '.' ||
                !std::isdigit(static_cast<unsigned char>(v[2])))
                bad("make-update --version: '" + v + "' is not <digit>.<digit>, as in 1.4");
            a.update.major = static_cast<unsigned>(v[0] - '0');
            a.update.minor = static_cast<unsigned>(v[2] - '0');
        } else if (o == "--flash") {
            a.flash_path = v;
        } else if (o == "--eeprom") {
            a.eeprom_path = v;
        } else if (o == "-o" || o == "--output") {
            a.out_path = v;
        } else {
            bad("make-update: unknown option " + o);
        }
    }
    if (a.out_path.empty())
        bad("make-update: say where to write the file with -o FILE");
    if (a.flash_path.empty() && a.eeprom_path.empty())
        bad("make-update: give a flash image (--flash FILE), an EEPROM image (--eeprom FILE) or both");
}

// The faults that are simply on or off, by option name.
struct Switch {
    const char* name;
    bool UnitFaults::*member;
};
const Switch switches[] = {
    {"corrupt-crc", &UnitFaults::corrupt_crc},     {"wrong-length", &UnitFaults::wrong_length},
    {"silent-finish", &UnitFaults::silent_finish}, {"fail-update", &UnitFaults::fail_update},
    {"refuse-writes", &UnitFaults::refuse_writes}, {"keep-settings", &UnitFaults::keep_settings}};

bool UnitFaults::*switch_member(std::string_view name) {
    for (const Switch& s : switches)
        if (name == s.name)
            return s.member;
    return nullptr;
}

// The faults that happen at random, by how often, in percent.
struct Percent {
    const char* name;
    unsigned UnitFaults::*member;
};
const Percent percents[] = {{"late-answer-percent", &UnitFaults::late_answer_percent},
                            {"drop-reply-percent", &UnitFaults::drop_reply_percent},
                            {"corrupt-reply-percent", &UnitFaults::corrupt_reply_percent}};

unsigned UnitFaults::*percent_member(std::string_view name) {
    for (const Percent& p : percents)
        if (name == p.name)
            return p.member;
    return nullptr;
}

} // namespace

void set_fault(UnitFaults& f, std::string_view name, std::string_view value) {
    if (auto member = switch_member(name)) {
        f.*member = on_off(name, value);
    } else if (name == "drop-every") {
        f.drop_every = static_cast<unsigned>(number(value, "drop-every", 1000000));
        if (f.drop_every == 1)
            bad("drop-every: 1 would drop every report; use 2 or more (0 turns it off)");
    } else if (name == "unplug-after") {
        f.unplug_after_blocks = static_cast<unsigned>(number(value, "unplug-after", 1000000));
    } else if (name == "report-delay") {
        f.report_delay = report_delay(value);
    } else if (name == "late-answer-max") {
        f.late_answer_max = std::chrono::milliseconds(number(value, "late-answer-max", 10000));
    } else if (auto percent = percent_member(name)) {
        f.*percent = static_cast<unsigned>(number(value, std::string(name), 100));
    } else if (name == "seed") {
        f.seed = number(value, "seed", std::numeric_limits<unsigned long>::max());
    } else {
        bad("unknown fault '" + std::string(name) +
            "'; the faults are drop-every, corrupt-crc, wrong-length, silent-finish, fail-update, "
            "refuse-writes, keep-settings, unplug-after, report-delay, late-answer-max, late-answer-percent, "
            "drop-reply-percent, corrupt-reply-percent and seed");
    }
}

std::string faults_text(const UnitFaults& f) {
    std::string s;
    const auto add = [&](const std::string& part) { s += (s.empty() ? "" : ", ") + part; };
    if (f.drop_every)
        add("drop-every " + std::to_string(f.drop_every));
    for (const Switch& sw : switches)
        if (f.*sw.member)
            add(sw.name);
    if (f.unplug_after_blocks)
        add("unplug-after " + std::to_string(f.unplug_after_blocks));
    if (f.report_delay.count()) {
        char ms[32];
        std::snprintf(ms, sizeof ms, "report-delay %g ms",
                      static_cast<double>(f.report_delay.count()) / 1000);
        add(ms);
    }
    if (f.late_answer_max.count())
        add("late-answer-max " + std::to_string(f.late_answer_max.count()) + " ms at " +
            std::to_string(f.late_answer_percent) + "%");
    if (f.drop_reply_percent)
        add("drop-reply-percent " + std::to_string(f.drop_reply_percent));
    if (f.corrupt_reply_percent)
        add("corrupt-reply-percent " + std::to_string(f.corrupt_reply_percent));
    if (s.empty())
        return "none";
    const bool random = f.late_answer_max.count() || f.drop_reply_percent || f.corrupt_reply_percent;
    return random ? s + ", seed " + std::to_string(f.seed) : s;
}

TparBytes parse_settings(std::string_view text) {
    TparBytes block{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == ',' || c == ':') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(c)) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
            bad("settings: '" + std::string(text) + "' is not 17 bytes of two hexadecimal digits each");
        if (n == block.size())
            bad("settings: more than 17 bytes");
        block[n++] = static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
        i += 2;
    }
    if (n != block.size())
        bad("settings: " + std::to_string(n) + (n == 1 ? " byte" : " bytes") + " given, the block has 17");
    return block;
}

std::string settings_text(const TparBytes& block) {
    return hex(block);
}

SimArgs parse_sim_args(const std::vector<std::string>& args) {
    SimArgs a;
    if (!args.empty() && args[0] == "make-update") {
        make_update_args(args, 1, a);
        return a;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& o = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                bad(o + " needs a value");
            return args[++i];
        };
        if (o == "--help" || o == "-h") {
            a.run = SimArgs::Run::help;
            return a;
        } else if (asks_program_version(args, i)) {
            a.run = SimArgs::Run::version;
            return a;
        } else if (o == "--serial") {
            a.unit.serial = value();
            check_serial(a.unit.serial);
        } else if (o == "--version") {
            a.unit.version = firmware_version(value());
        } else if (o == "--boot") {
            a.unit.mode = UnitMode::boot;
        } else if (o == "--locked") {
            a.unit.locked = true;
        } else if (o == "--settings") {
            a.unit.settings = parse_settings(value());
        } else if (o == "--restart-delay") {
            a.unit.restart_delay = std::chrono::milliseconds(number(value(), "--restart-delay", 60000));
        } else if (o == "--bus-name") {
            a.unit.bus_name = value();
            check_bus_name(a.unit.bus_name);
        } else if (o.starts_with("--") && switch_member(std::string_view(o).substr(2))) {
            set_fault(a.unit.faults, std::string_view(o).substr(2), "on");
        } else if (o == "--drop-every" || o == "--unplug-after" || o == "--report-delay" ||
                   o == "--late-answer-max" || o == "--seed" ||
                   (o.starts_with("--") && percent_member(std::string_view(o).substr(2)))) {
            const std::string name = o.substr(2);
            set_fault(a.unit.faults, name, value());
        } else {
            bad("unknown option '" + o + "'");
        }
    }
    return a;
}

std::string sim_version_text() {
    return std::string("rv390pkta-sim ") + rv390pkta_version;
}

std::string sim_usage() {
    return R"(rv390pkta-sim: a virtual RV-390PKTA unit on the virtual HID bus ($XDG_RUNTIME_DIR/vhid)

Usage:
  rv390pkta-sim [options]        attach one unit until "quit", SIGINT or SIGTERM
  rv390pkta-sim make-update --name NAME --version D.D [--flash FILE] [--eeprom FILE] -o OUT.voku
  rv390pkta-sim --help | --version   this text, or the program's version (--version with no value)

Unit options:
  --serial TEXT         serial number (default VU-0001)
  --version X.Y|0xHHHH  firmware version, VersionNumber (default 1.3 = 0x0103)
  --boot                start in the boot loader
  --locked              listed, but hosts may open it for queries only (no access rights)
  --settings HEX        the 17-byte settings block to start with, held as given
                        (default 00 00 01 00 01 02 03 04 05 06 07 00 EE 0A 01 02 00)
  --restart-delay MS    time the unit is off the bus when it restarts (default 300)
  --bus-name NAME       socket name on the bus (default rv390pkta-<serial>)
Faults (all off by default):
  --drop-every N        drop every Nth output report that arrives
  --corrupt-crc         replies carry a wrong CRC
  --wrong-length        replies' length field is one more than their payload
  --silent-finish       no reply to cmd_finish; the unit stays in its boot loader
  --fail-update         cmd_finish reports failure
  --refuse-writes       every flash and EEPROM write is refused
  --keep-settings       settings writes are answered with the old block, not stored
  --unplug-after N      the link drops after N write blocks of an update
  --report-delay MS     slow link: each report takes MS milliseconds (1 models full-speed USB)
  --late-answer-max MS  the acknowledgement of an output report comes 0..MS ms late (at most
                        10000; the host gives up after a second)
  --late-answer-percent P    ...for P% of the reports (default 100)
  --drop-reply-percent P     P% of the replies are not sent
  --corrupt-reply-percent P  P% of the replies carry a wrong CRC
  --seed N              the random source of these three faults starts at N (default 0)

Commands on stdin (end of input only stops reading them; the unit stays until quit or a signal):
  status, settings [HEX], flashed, plug, unplug, boot, normal,
  faults, fault NAME [VALUE], fault clear, help, quit
)";
}
