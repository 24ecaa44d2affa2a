// The worker thread: sends every posted request and hands settings refreshes to the window.
#pragma once

#include <thread>

class Tthr {
public:
    ~Tthr();
    // Starts the worker unless it already runs.
    void Start();
    // Asks the worker to stop; does not wait.
    void Terminate();
    // Waits for a worker that was asked to stop.
    void WaitFor();

private:
    void Execute();
    std::thread thread_;
};

extern Tthr thr;
