// One firmware update of a unit at a time among the command-line processes of this user: a lock file
// per serial number in the runtime folder, given up when the process ends however it ends.
#pragma once

#include <QString>

namespace update_lock {

// Claims the unit for this process (again is fine). False, with `why` naming the holder, when another
// process holds it.
bool claim(const QString& serial, QString& why);

} // namespace update_lock
