// One registered handler of the host, and the rule for replacing it while it may be running.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

// Calls run without any lock of the library held, so a handler may take the host's own locks while a
// host thread that holds them replaces the handler. Replacing it with another handler never waits;
// clearing it waits for a call under way (unless the call is the caller's own), so that once the host
// has cleared a handler, that handler is not running and will not be called.
template <class Fn> class HandlerSlot {
public:
    void set(Fn fn) {
        std::unique_lock lock(m_);
        fn_ = fn;
        if (fn == nullptr && running_ != 0 && caller_ != std::this_thread::get_id())
            idle_.wait(lock, [&] { return running_ == 0; });
    }

    Fn get() const {
        std::lock_guard lock(m_);
        return fn_;
    }

    // Calls the handler, if one is set, with `args`; `allowed` is asked under the slot's lock just before
    // the call, so a call that it refuses never starts. True when the handler was called.
    template <class Allowed, class... Args> bool call(Allowed&& allowed, Args... args) {
        Fn fn;
        {
            std::lock_guard lock(m_);
            fn = fn_;
            if (fn == nullptr || !allowed())
                return false;
            ++running_;
            caller_ = std::this_thread::get_id();
        }
        fn(args...);
        {
            std::lock_guard lock(m_);
            if (--running_ == 0)
                caller_ = {};
        }
        idle_.notify_all();
        return true;
    }

private:
    mutable std::mutex m_;
    std::condition_variable idle_;
    Fn fn_ = nullptr;
    int running_ = 0;
    std::thread::id caller_;
};
