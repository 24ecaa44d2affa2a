// The utility's own command-line options (--version, --help), handled before any window exists.
#pragma once

#include <iostream>
#include <optional>

// --version prints "rv390pkta <version>", --help (or -h) a short usage text, both to `out`, and the
// exit code (0) comes back; the first of them on the line wins. Anything else gives nullopt and is
// left as before: Qt takes its own arguments (-platform, -style, ...) and the rest are ignored.
// Arguments after "--" are not looked at.
std::optional<int> handle_command_line(int argc, char** argv, std::ostream& out = std::cout);

// The usage text --help prints.
const char* command_line_usage();
