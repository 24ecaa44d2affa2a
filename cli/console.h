// What the command line says and asks: results on standard output, problems on standard error, questions
// and the progress bar only where a person is at a terminal.
#pragma once

#include "protocol/unit_scan.h"

namespace interrupts {
class Signals;
}

#include <QString>

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace console {

void out(const QString& line); // one line on standard output

// A string a device sent, as text output shows it: control characters (a newline that would forge a
// line of its own, an escape sequence the terminal would obey) as \xNN, and a backslash as \\.
// `in_column`: blanks too (\x20, or \uNNNN for other spaces), for a column that blanks separate.
QString printable(const QString& device_text, bool in_column = false);
// Why a unit cannot be opened, its path shown as printable().
QString cannot_open(const FoundUnit& unit);
void err(const QString& line); // one line on standard error, "rv390pkta-cli: " first

bool input_is_terminal();
bool output_is_terminal();

// Asks on the terminal; an empty answer takes the default. No terminal: the default.
bool ask(interrupts::Signals& stop_signals, const QString& question, bool default_yes);

// Standard output and error as the threads of one command share them: whole lines, never mixed; on a
// terminal the progress bars of the units being written stay together below the other lines, each on a
// line of its own, redrawn in place.
class Terminal {
public:
    Terminal();
    void out(const QString& line);
    void err(const QString& line); // "rv390pkta-cli: " first
    // Asking is one question at a time: the others wait.
    bool ask(interrupts::Signals& stop_signals, const QString& question, bool default_yes);

    // A bar below the lines (a terminal only), drawn with `text`; close_bar leaves its last text as an
    // ordinary line.
    int open_bar();
    void draw_bar(int bar, const QString& text);
    void close_bar(int bar);
    bool draws_bars() const { return tty_; }

private:
    void lift();      // clears the bars from the screen (lock held)
    void lay() const; // draws them again below the last line (lock held)

    std::mutex lock_;
    std::mutex asking_;
    const bool tty_;
    std::vector<std::pair<int, std::string>> bars_;
    int next_bar_ = 0;
};

// Progress of a long write: a bar redrawn in place on a terminal, else a line every 10 %; as JSON lines
// (`event` "progress") when `json_serial` is given.
class Progress {
public:
    Progress(Terminal& terminal, QString caption, std::optional<QString> json_serial = std::nullopt);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void show(int percent);
    void finish(); // ends the bar's line

private:
    Terminal& terminal_;
    QString caption_;
    std::optional<QString> json_serial_;
    int shown_ = -1;
    int bar_ = -1;
};

} // namespace console
