// Command line and stdin vocabulary of rv390pkta-sim: parsing with messages fit for the user.
#pragma once

#include "sim/update_file.h"
#include "sim/virtual_unit.h"

#include <string>
#include <string_view>
#include <vector>

struct SimArgs {
    enum class Run { unit, make_update, help, version } run = Run::unit;
    UnitOptions unit;
    // make-update
    UpdateContent update{.name = "RV-390PKTA", .major = 1, .minor = 0, .flash = {}, .eeprom = {}};
    std::string flash_path;
    std::string eeprom_path;
    std::string out_path;
};

// Every function below throws std::invalid_argument saying what is wrong with the input.

// The arguments after the program name.
SimArgs parse_sim_args(const std::vector<std::string>& args);
std::string sim_usage();
// "rv390pkta-sim <version>", the project's version, for --version without a value.
std::string sim_version_text();

// 17 bytes in hexadecimal, two digits each, optionally separated by blanks, ',' or ':'.
TparBytes parse_settings(std::string_view text);
std::string settings_text(const TparBytes& block);

// Sets one fault by its option name without the dashes ("drop-every", "corrupt-crc", ...). Switches
// take on/off (or nothing for on); counts, percentages and the seed a number; report-delay and
// late-answer-max milliseconds.
void set_fault(UnitFaults& faults, std::string_view name, std::string_view value);
std::string faults_text(const UnitFaults& faults);
