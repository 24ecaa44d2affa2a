// The settings block as named fields: the keys of `show`, `set` and the JSON, with the window's rules.
#pragma once

#include "ui/settings_block.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <utility>
#include <vector>

namespace settings_fields {

// Every key, in the order `show` lists them.
QStringList keys();

// The block as (key, value) pairs: numbers as int, names as QString, as the window shows them for
// the block's groups (the block is taken sanitised, as the window takes it).
std::vector<std::pair<QString, QVariant>> describe(const Tpar& block);

// The 17 bytes as hex pairs separated by blanks.
QString hex(const TparBytes& bytes);

struct Change {
    Tpar block;         // the block with every pair applied
    QStringList errors; // one per wrong pair, naming the key and what it accepts; empty: all taken
    QStringList notes;  // what the window's rules changed beyond what was asked
};

// Applies KEY=VALUE pairs to `current` with the window's rules: groups first (they must differ: a
// group picked equal to the other moves one further), then the sources by the names of the new groups.
// Without `unit_known` (no unit read yet) a source name is taken when any group has it.
Change apply(const Tpar& current, const QStringList& pairs, bool unit_known = true);

// Bytes of a block as a file holds them (all 17, or the leading ones of a short file), against the
// ranges the window's controls and `set` keep: one line per byte out of range, naming its offset, key,
// value and range; and one when both groups are there and equal.
QStringList check_bytes(const QByteArray& bytes);

// A field whose value differs between two blocks, as the window shows them (sanitised).
struct Difference {
    QString key;
    QVariant first, second;
};
std::vector<Difference> compare(const Tpar& first, const Tpar& second);

// The fields that differ between two blocks as the window shows them (sanitised), with both values.
QStringList differences(const Tpar& wanted, const Tpar& held);

} // namespace settings_fields
