// What the command line says and asks: results on standard output, problems on standard error, questions
// and the progress bar only where a person is at a terminal.
#pragma once

#include "protocol/unit_scan.h"

namespace interrupts {
class Signals;
}

#include <QString>

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

// Progress of a long write: a bar redrawn in place on a terminal, else a line every 10 %.
class Progress {
public:
    explicit Progress(QString caption);
    void show(int percent);
    void finish(); // ends the bar's line
private:
    QString caption_;
    int shown_ = -1;
    bool bar_;
};

} // namespace console
