// The names of the sources an output can take, as the source lists show them for the two chosen groups.
#pragma once

#include <QStringList>

// The 20 lines of every source list: the four SDI channels of each group (groups 0..3), then the fixed
// sources (AES, analogue, test tones).
QStringList source_names(int primary_group, int secondary_group);

// The two groups must differ: picking the other group's value moves the picked one one further.
inline int distinct_group(int picked, int other) {
    return picked == other ? (other + 1) % 4 : picked;
}
