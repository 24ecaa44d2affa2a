// Units at once: a session per thread, each unit's lines named by its serial, one summary at the end.
#include "cli/unit_jobs.h"

#include "cli/console.h"
#include "cli/interrupts.h"
#include "cli/json_output.h"
#include "cli/unit_session.h"
#include "core/ui_handover.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <chrono>

UnitJobs::UnitJobs(UnitSession& session, const Invocation& inv, UnitAct act, int jobs, JsonResults json)
    : session_(session), inv_(inv), act_(std::move(act)), jobs_(std::max(jobs, 1)), json_(json),
      rack_(inv.all) {}

UnitJobs::~UnitJobs() {
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
}

void UnitJobs::add(const FoundUnit& unit) {
    const std::lock_guard lock(lock_);
    outcomes_.emplace_back().unit = unit;
    // A thread for it when no thread is free to take it and one more is allowed; with one job the units
    // wait for finish().
    if (jobs_ > 1 && running_ < jobs_ && outcomes_.size() - next_ > std::size_t(running_ - busy_))
        start_thread();
}

void UnitJobs::start_thread() {
    ++running_;
    // A plain thread, joined as such: QThread's own end is not seen by ThreadSanitizer as ordered
    // before the object's destruction.
    threads_.emplace_back([this] { work(); });
}

bool UnitJobs::next(std::size_t& index) {
    const std::lock_guard lock(lock_);
    if (next_ == outcomes_.size() || session_.stop_signals.requested())
        return false;
    index = next_++;
    outcomes_[index].begun = true;
    ++busy_;
    return true;
}

void UnitJobs::run_one(UnitSession& session, std::size_t index) {
    FoundUnit unit;
    {
        const std::lock_guard lock(lock_);
        unit = outcomes_[index].unit;
    }
    session.speak_for(console::printable(unit.identity.serial), rack_, inv_.json);
    session.result = {};
    QString why;
    ExitStatus status = session.open(unit, why);
    if (status == exit_done)
        status = act_(session, unit, why);
    if (status != exit_done) {
        session.err(why);
        if (inv_.json && json_ == JsonResults::lines)
            session.json_line(json_output::error(status, unit.identity.serial, why));
    }
    const std::lock_guard lock(lock_);
    --busy_;
    Outcome& done = outcomes_[index];
    done.status = status;
    // A result the act gave stands even with a failing status (check: the unit differs from the file).
    done.result =
        !session.result.isEmpty() ? session.result : json_output::error(status, unit.identity.serial, why);
}

void UnitJobs::work() {
    serve();
    {
        const std::lock_guard lock(lock_);
        --running_;
    }
    session_.link.ui.wake();
}

void UnitJobs::serve() {
    // A thread Qt did not start gets its event dispatcher with its first event loop; the session's
    // timers and waits need it from the start.
    const QEventLoop dispatcher;
    UiHandover ui;
    // Each session loads a library instance of its own and unloads it at its end. One thread's load may
    // reuse the addresses of another's unload: the loader orders the two by a lock ThreadSanitizer does
    // not see, so they are ordered by ours too.
    std::optional<UnitSession> session;
    QString error;
    bool started = false;
    {
        const std::lock_guard loading(loader_);
        session.emplace(ui, session_.stop_signals, session_.terminal);
        started = session->start(error);
    }
    {
        // A signal reaches this thread's waits through its own hand-over.
        const interrupts::Signals::Wake wake(session_.stop_signals, [&ui] { ui.wake(); });
        for (std::size_t index = 0; next(index);) {
            if (started) {
                run_one(*session, index);
                continue;
            }
            const std::lock_guard lock(lock_);
            --busy_;
            Outcome& o = outcomes_[index];
            session_.terminal.err(QStringLiteral("%1: Не удалось инициализировать USB! %2")
                                      .arg(console::printable(o.unit.identity.serial), error));
            o.status = exit_failed;
            o.result = json_output::error(exit_failed, o.unit.identity.serial, error);
        }
    }
    const std::lock_guard unloading(loader_);
    session.reset();
}

int UnitJobs::finish() {
    if (jobs_ == 1) {
        for (std::size_t index = 0; next(index);)
            run_one(session_, index);
    } else {
        const auto all_done = [this] {
            const std::lock_guard lock(lock_);
            if (session_.stop_signals.requested())
                return running_ == 0;
            return running_ == 0 && next_ == outcomes_.size() && !until_signal_;
        };
        UnitSession::wait_until(all_done, std::chrono::hours(24 * 365 * 10));
        for (std::thread& t : threads_)
            t.join();
    }
    // From here on only this thread: every other has ended.
    QStringList failed, left;
    std::optional<ExitStatus> failure;
    QJsonArray results;
    for (const Outcome& o : outcomes_) {
        const QString serial = console::printable(o.unit.identity.serial);
        if (!o.begun) {
            left << serial;
            continue;
        }
        results.append(o.result);
        if (o.status == exit_done)
            continue;
        failed << serial;
        failure = !failure || *failure == o.status ? o.status : exit_failed;
    }
    if (!left.isEmpty()) {
        console::err(
            QStringLiteral("прервано (%1): не начаты: %2")
                .arg(QLatin1String(session_.stop_signals.signal_name()), left.join(QStringLiteral(", "))));
        failed << left;
        failure = ExitStatus(session_.stop_signals.exit_status()); // the signal's, whatever came before
    }
    if (inv_.json && json_ == JsonResults::document)
        console::out(!inv_.all && results.size() == 1 ? json_output::document(results[0].toObject())
                                                      : json_output::document(results));
    // On standard error where standard output carries JSON.
    if (inv_.all)
        (inv_.json ? console::err : console::out)(
            QStringLiteral("Итого: блоков %1, выполнено %2, с ошибкой %3%4")
                .arg(outcomes_.size())
                .arg(outcomes_.size() - std::size_t(failed.size()))
                .arg(failed.size())
                .arg(failed.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failed.join(", "))));
    return failure.value_or(exit_done);
}

int command_failed(const Invocation& inv, int status, const QString& why) {
    console::err(why);
    if (inv.json)
        console::out(json_output::line(json_output::error(status, inv.unit, why)));
    return status;
}

int for_each_unit(UnitSession& session, const Invocation& inv, const UnitChoice& choice, const UnitAct& act,
                  JsonResults json) {
    if (choice.status != exit_done)
        return command_failed(inv, choice.status, choice.why);
    // One unit needs no thread of its own: the command's session has it.
    UnitJobs jobs(session, inv, act, choice.units.size() > 1 ? inv.jobs : 1, json);
    for (const FoundUnit& unit : choice.units)
        jobs.add(unit);
    return jobs.finish();
}

int for_each_unit(UnitSession& session, const Invocation& inv, const UnitAct& act, JsonResults json) {
    return for_each_unit(session, inv, choose_units(session, inv), act, json);
}
