// Worker thread running the mailbox with usb_send.
#include "core/Tthr.h"

#include "core/mailbox.h"
#include "protocol/USB.h"

Tthr thr;

Tthr::~Tthr() {
    Terminate();
    WaitFor();
}

void Tthr::Start() {
    // The worker blocks while there is nothing to send, so it needs no lowered priority; an idle-class
    // thread could be starved by other load in the middle of a firmware update.
    if (!thread_.joinable()) {
        mailbox.worker_starting();
        thread_ = std::thread([this] { Execute(); });
    }
}

void Tthr::Terminate() {
    mailbox.stop();
}

void Tthr::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

void Tthr::Execute() {
    mailbox.serve(usb_send);
}
