// Acting on each chosen unit: several at once, each on a thread of its own with a session (and so a
// link) of its own, or one after another on the command's own session.
#pragma once

#include "cli/arguments.h"
#include "cli/exit_status.h"
#include "cli/unit_choice.h"
#include "protocol/unit_scan.h"

#include <QJsonObject>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class UnitSession;

// What is done to one unit, with the session that has it open; sets `why` when it fails. With several
// jobs it runs on their threads, at once for different units.
using UnitAct = std::function<ExitStatus(UnitSession& session, const FoundUnit& unit, QString& why)>;

// How JSON mode gives the units' results: each unit's `result` collected into one document (an
// object, or an array in the units' order with --all), or lines the act prints as it goes.
enum class JsonResults { document, lines };

class UnitJobs {
public:
    // `jobs`: how many units at once (1: one after another on `session`, on this thread).
    UnitJobs(UnitSession& session, const Invocation& inv, UnitAct act, int jobs,
             JsonResults json = JsonResults::document);
    ~UnitJobs();
    UnitJobs(const UnitJobs&) = delete;
    UnitJobs& operator=(const UnitJobs&) = delete;

    // Adds a unit to act on; while finish() waits too (a unit that appears during monitor --all).
    void add(const FoundUnit& unit);
    // finish() waits for a signal even when every unit is done or none was added (monitor --all: units
    // may still come).
    void until_signal() { until_signal_ = true; }
    // Runs the act on every unit added, and on those added meanwhile, until all are done. Goes on past a
    // unit that fails; with --all a summary follows. The exit status: 0 when every unit was done, else
    // the failures' common status, or 1 when they differ. After a signal no further unit is begun; the
    // units left count as failed, and the status is the signal's.
    int finish();

private:
    struct Outcome {
        FoundUnit unit;
        bool begun = false;
        ExitStatus status = exit_done;
        QJsonObject result;
    };
    // Opens the unit and runs the act; its failure is said at once.
    void run_one(UnitSession& session, std::size_t index);
    // A thread's life: serve(), then it counts itself out.
    void work();
    // A session of its own, then units until none is left.
    void serve();
    bool next(std::size_t& index);
    void start_thread(); // lock held

    UnitSession& session_;
    const Invocation& inv_;
    const UnitAct act_;
    const int jobs_;
    const JsonResults json_;
    const bool rack_;
    bool until_signal_ = false;

    std::mutex lock_;
    std::mutex loader_;            // a session's library load and unload, one thread at a time
    std::deque<Outcome> outcomes_; // by the order units were added
    std::size_t next_ = 0;         // the first unit not yet taken
    int running_ = 0;              // threads that have not ended
    int busy_ = 0;                 // units being worked on
    std::vector<std::thread> threads_;
};

// Opens each chosen unit in turn (the invocation's jobs at once) and runs `act` on it, as UnitJobs does.
int for_each_unit(UnitSession& session, const Invocation& inv, const UnitChoice& choice, const UnitAct& act,
                  JsonResults json = JsonResults::document);
// The same over the units the invocation chooses now (a failure to choose is said and returned).
int for_each_unit(UnitSession& session, const Invocation& inv, const UnitAct& act,
                  JsonResults json = JsonResults::document);
// A failure of the whole command: said on standard error and, in JSON mode, as an error object on
// standard output.
int command_failed(const Invocation& inv, int status, const QString& why);
