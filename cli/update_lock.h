// One firmware update of a unit at a time among the command-line processes of this user: a lock file
// per serial number in the runtime folder, given up when the process ends however it ends.
#pragma once

#include <QLockFile>
#include <QString>

#include <map>
#include <memory>
#include <mutex>

// The locks one command holds, until it ends; its threads claim through one object.
class UpdateLocks {
public:
    // Claims the unit for this command (again is fine). False, with `why` naming the holder, when another
    // process holds it.
    bool claim(const QString& serial, QString& why);

private:
    std::mutex lock_;
    std::map<QString, std::unique_ptr<QLockFile>> held_;
};
