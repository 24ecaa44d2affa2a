// Posting to the user-interface thread and holding work back during synchronous sends.
#include "core/ui_handover.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>

UiHandover::UiHandover() = default;

UiHandover::~UiHandover() = default;

void UiHandover::Call::post() {
    QCoreApplication::postEvent(this, new QEvent(QEvent::User));
}

void UiHandover::drain() {
    while (!holding() && !held_.empty()) {
        Work w = std::move(held_.front());
        held_.pop_front();
        w.fn();
    }
}

void UiHandover::end_answer_hold(uint64_t which) {
    if (!answer_awaited_ || (which != 0 && which != answer_holds_))
        return;
    answer_awaited_ = false;
    drain();
}

void UiHandover::run_or_hold(const void* owner, std::function<void()> fn) {
    // Work that arrives while older work is still held queues behind it, so the order is kept.
    if (holding() || !held_.empty())
        held_.push_back({owner, std::move(fn)});
    else
        fn();
}

void UiHandover::take_posted() {
    for (;;) {
        Work w;
        {
            std::lock_guard lock(posted_m_);
            if (posted_.empty())
                return;
            w = std::move(posted_.front());
            posted_.pop_front();
        }
        run_or_hold(w.owner, std::move(w.fn));
    }
}

void UiHandover::post(const void* owner, std::function<void()> fn) {
    {
        std::lock_guard lock(posted_m_);
        posted_.push_back({owner, std::move(fn)});
    }
    take_posted_call_.post();
}

void UiHandover::forget(const void* owner) {
    const auto of_owner = [owner](const Work& w) { return w.owner == owner; };
    std::erase_if(held_, of_owner);
    std::lock_guard lock(posted_m_);
    std::erase_if(posted_, of_owner);
}

void UiHandover::wake() {
    wake_call_.post();
}

UiHandover::SyncWait::SyncWait(UiHandover& ui) : ui_(ui) {
    ++ui_.wait_depth_;
}

UiHandover::SyncWait::~SyncWait() {
    // Not run here: the held work runs from the event loop once the handler that sent has returned.
    if (--ui_.wait_depth_ == 0 && !ui_.held_.empty())
        ui_.drain_call_.post();
}

void UiHandover::hold_for_answer(std::chrono::milliseconds limit) {
    answer_awaited_ = true;
    const uint64_t which = ++answer_holds_;
    QTimer::singleShot(limit, this, [this, which] { end_answer_hold(which); });
}

void UiHandover::release_answer_hold() {
    end_hold_call_.post();
}
