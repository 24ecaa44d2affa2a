// A unit as discovery found it, and the mode it was opened in.
#pragma once

#include <QString>

// What the operator is shown of a unit.
struct UnitIdentity {
    QString product; // "RV-390PKTA", or "RV-390PKTA(boot)" in its boot loader
    QString serial;
    QString version; // "major.minor"
    QString path;    // the node or bus path
};

// What the opened unit runs.
enum class OpenedMode { normal, boot_loader };
