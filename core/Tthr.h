// The worker thread of one link: sends every posted request and ticks the link's timers.
#pragma once

#include <functional>
#include <thread>

class Mailbox;
struct Request;

class Tthr {
public:
    using Send = std::function<bool(const Request&)>;
    Tthr(Mailbox& box, Send send);
    ~Tthr();
    Tthr(const Tthr&) = delete;
    Tthr& operator=(const Tthr&) = delete;
    // Starts the worker unless it already runs.
    void Start();
    // Asks the worker to stop; does not wait.
    void Terminate();
    // Waits for a worker that was asked to stop.
    void WaitFor();

private:
    void Execute();
    Mailbox& box_;
    Send send_;
    std::thread thread_;
};
