// Worker thread running a mailbox with its link's send.
#include "core/Tthr.h"

#include "core/mailbox.h"

Tthr::Tthr(Mailbox& box, Send send) : box_(box), send_(std::move(send)) {}

Tthr::~Tthr() {
    Terminate();
    WaitFor();
}

void Tthr::Start() {
    // The worker blocks while there is nothing to send, so it needs no lowered priority; an idle-class
    // thread could be starved by other load in the middle of a firmware update.
    if (!thread_.joinable()) {
        box_.worker_starting();
        thread_ = std::thread([this] { Execute(); });
    }
}

void Tthr::Terminate() {
    box_.stop();
}

void Tthr::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

void Tthr::Execute() {
    box_.serve(send_);
}
