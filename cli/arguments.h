// The command line of rv390pkta-cli: one command, its options and its operands.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

// --jobs takes at most this many units at once.
inline constexpr int max_jobs = 64;

struct Invocation {
    QString command;             // a command of the table (command_table.h), help or version
    QString unit;                // --unit: a serial number or a node or bus path
    bool all = false;            // --all: every connected unit
    int jobs = 8;                // --jobs N: how many of them at once
    bool json = false;           // --json
    bool yes = false;            // --yes: no question before resetting or updating
    bool no_header = false;      // --no-header: list without its line of column names
    bool check = false;          // --check: apply says what would change and sends nothing
    bool diff = false;           // --diff: apply lists each field it changes
    std::optional<bool> restore; // --restore / --no-restore after an update
    std::optional<QString> ember; // --ember [ADDR:]PORT: serve's address (empty: the default)
    bool read_only = false;       // --read-only: serve refuses every write
    QStringList operands;        // a file, or KEY=VALUE pairs
};

// A command line that cannot be carried out; the text says what is wrong, in the operator's language.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString& text) : std::runtime_error(text.toStdString()) {}
};

// Options may stand before or after the command; "--" ends them. Throws UsageError.
Invocation parse_arguments(const QStringList& arguments);

// The help text.
QString cli_usage();
