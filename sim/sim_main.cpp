// rv390pkta-sim: one virtual unit on the bus, steered from stdin; or the update file writer.
#include "protocol/crc.h"
#include "sim/sim_options.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

std::mutex out_m; // lines come from the unit's threads and the main thread

void say(const std::string& line) {
    std::lock_guard lock(out_m);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::vector<uint8_t> read_image(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument(std::string("cannot open the ") + what + " image '" + path +
                                    "': " + std::strerror(errno));
    in.seekg(0, std::ios::end);
    const auto size = static_cast<long long>(in.tellg());
    if (size < 0 || size > 0xFFFF)
        throw std::invalid_argument(std::string("the ") + what + " image '" + path + "' is " +
                                    std::to_string(size) + " bytes; an image holds at most 65535");
    in.seekg(0);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size))
        throw std::invalid_argument(std::string("cannot read the ") + what + " image '" + path + "'");
    return bytes;
}

int make_update(SimArgs& a) {
    try {
        if (!a.flash_path.empty())
            a.update.flash = read_image(a.flash_path, "flash");
        // The firmware names its version, so the unit reports the header's version after the update.
        if (!a.update.flash.empty())
            name_firmware_version(a.update.flash, a.update.major, a.update.minor);
        if (!a.eeprom_path.empty())
            a.update.eeprom = read_image(a.eeprom_path, "EEPROM");
        const std::vector<uint8_t> file = make_update_file(a.update);
        std::ofstream out(a.out_path, std::ios::binary | std::ios::trunc);
        if (!out ||
            !out.write(reinterpret_cast<const char*>(file.data()),
                       static_cast<std::streamsize>(file.size())) ||
            !out.flush())
            throw std::invalid_argument("cannot write '" + a.out_path + "': " + std::strerror(errno));
        char line[256];
        std::snprintf(line, sizeof line,
                      "wrote %s: %zu bytes, NAME=%s, VERSION=%u.%u, flash %zu bytes, EEPROM %zu bytes",
                      a.out_path.c_str(), file.size(), a.update.name.c_str(), a.update.major, a.update.minor,
                      a.update.flash.size(), a.update.eeprom.size());
        say(line);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rv390pkta-sim make-update: %s\n", e.what());
        return 1;
    }
}

// Runs of set bits as "0x0000-0x09FF", with the CRC-16 of the bytes they cover.
template <std::size_t N>
std::string written(const std::bitset<N>& blocks, const std::vector<uint8_t>& memory) {
    std::string ranges;
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < N;) {
        if (!blocks.test(i)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < N && blocks.test(j))
            ++j;
        char r[24];
        std::snprintf(r, sizeof r, "%s0x%04zX-0x%04zX", ranges.empty() ? "" : " ", i * unit_page_size,
                      j * unit_page_size - 1);
        ranges += r;
        bytes.insert(bytes.end(), memory.begin() + static_cast<std::ptrdiff_t>(i * unit_page_size),
                     memory.begin() + static_cast<std::ptrdiff_t>(j * unit_page_size));
        i = j;
    }
    if (ranges.empty())
        return "nothing";
    char crc[24];
    std::snprintf(crc, sizeof crc, " (crc16 0x%04X)", crc16(bytes.data(), bytes.size()));
    return ranges + crc;
}

std::string flashed_summary(const VirtualUnit& unit) {
    const UnitModel::Session s = unit.session();
    const auto last = unit.last_update();
    return "flashed: flash " + written(s.flash_written, unit.flash()) + "; EEPROM " +
           written(s.eeprom_written, unit.eeprom()) + "; " + std::to_string(s.write_blocks) +
           " write blocks, " + std::to_string(s.refused) +
           " refused; last update: " + (last ? (*last ? "success" : "failure") : "none");
}

// One stdin command; false for quit.
bool command(VirtualUnit& unit, const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    std::string rest;
    std::getline(words >> std::ws, rest);
    try {
        if (verb.empty()) {
            return true;
        } else if (verb == "quit" || verb == "exit") {
            return false;
        } else if (verb == "help") {
            say(sim_usage());
        } else if (verb == "status") {
            say(std::string("status: ") + unit.product() + (unit.plugged() ? ", plugged" : ", unplugged") +
                ", faults: " + faults_text(unit.faults()));
        } else if (verb == "plug") {
            if (unit.plugged())
                say("already plugged");
            else if (!unit.plug())
                say("cannot plug: " + unit.error());
        } else if (verb == "unplug") {
            if (!unit.plugged())
                say("already unplugged");
            else
                unit.unplug();
        } else if (verb == "boot" || verb == "normal") {
            unit.restart(verb == "boot" ? UnitMode::boot : UnitMode::normal);
        } else if (verb == "settings") {
            if (!rest.empty())
                unit.set_settings(parse_settings(rest));
            say("settings: " + settings_text(unit.settings()));
        } else if (verb == "flashed") {
            say(flashed_summary(unit));
        } else if (verb == "faults") {
            say("faults: " + faults_text(unit.faults()));
        } else if (verb == "fault") {
            std::istringstream args(rest);
            std::string name, value, extra;
            args >> name >> value >> extra;
            if (name.empty() || !extra.empty())
                throw std::invalid_argument("fault: give a fault name and a value, or 'fault clear'");
            UnitFaults f = unit.faults();
            if (name == "clear")
                f = {};
            else
                set_fault(f, name, value);
            unit.set_faults(f);
            say("faults: " + faults_text(f));
        } else {
            say("unknown command '" + verb + "'; type help");
        }
    } catch (const std::invalid_argument& e) {
        say(std::string("error: ") + e.what());
    }
    return true;
}

int run_unit(const UnitOptions& options) {
    // Signals arrive through a descriptor, on this thread only: the unit's threads start after this.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::fprintf(stderr, "rv390pkta-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    VirtualUnit unit(options);
    unit.on_event = [](const UnitEvent& e) { say(e.line); };
    if (!unit.plug()) {
        std::fprintf(stderr, "rv390pkta-sim: cannot attach the unit %s: %s\n",
                     options.gadget ? "as a USB gadget" : "to the virtual HID bus", unit.error().c_str());
        return 1;
    }

    bool reading = true;
    bool skipping = false; // the rest of an overlong line
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            (void)!::read(signal_fd, &info, sizeof info);
            say(std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)) + ": stopping");
            break;
        }
        if (fds[1].revents == 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            reading = false;
            say("stdin closed: running until SIGINT or SIGTERM");
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        bool quit = false;
        for (std::size_t eol; !quit && (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (skipping) {
                skipping = false;
                continue;
            }
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            quit = !command(unit, line);
        }
        if (quit)
            break;
        if (pending.size() > 4096) {
            if (!skipping)
                say("error: input line longer than 4096 bytes ignored");
            skipping = true;
            pending.clear();
        }
    }
    unit.unplug();
    say("stopped");
    ::close(signal_fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    SimArgs args;
    // --gadget: attach as the device side of a USB HID gadget instead of the virtual bus.
    std::vector<std::string> words(argv + 1, argv + argc);
    const auto gadget = std::find(words.begin(), words.end(), "--gadget");
    const bool as_gadget = gadget != words.end() && words.front() != "make-update";
    if (as_gadget)
        words.erase(gadget);
    try {
        args = parse_sim_args(words);
        if (as_gadget)
            args.unit.gadget = GadgetOptions{};
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "rv390pkta-sim: %s\nTry 'rv390pkta-sim --help'.\n", e.what());
        return 2;
    }
    switch (args.run) {
    case SimArgs::Run::help:
        std::fputs(sim_usage().c_str(), stdout);
        std::fputs("Attaching as real USB:\n"
                   "  --gadget              attach as a USB HID gadget (configfs, usb_f_hid, the first UDC)\n"
                   "                        instead of the virtual bus; needs root\n",
                   stdout);
        return 0;
    case SimArgs::Run::version:
        say(sim_version_text());
        return 0;
    case SimArgs::Run::make_update:
        return make_update(args);
    case SimArgs::Run::unit:
        break;
    }
    return run_unit(args.unit);
}
