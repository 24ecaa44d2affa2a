// The names of the sources an output can take, as the source lists show them for the two chosen groups.
#pragma once

#include <QStringList>

// The 20 lines of every source list: the four SDI channels of each group (groups 0..3), then the fixed
// sources (AES, analogue, test tones).
QStringList source_names(int primary_group, int secondary_group);

// The SDI output channel that output `output` (0..7) feeds, as the window labels it: the first four
// outputs carry the primary group's channels, the others the secondary group's.
inline int output_channel(int primary_group, int secondary_group, int output) {
    return (output < 4 ? 4 * primary_group : 4 * secondary_group - 4) + output + 1;
}

// The two groups must differ: picking the other group's value moves the picked one one further.
inline int distinct_group(int picked, int other) {
    return picked == other ? (other + 1) % 4 : picked;
}
