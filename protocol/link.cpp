// A link's life: building it, bringing it up, the poll and the write, and taking it down.
#include "protocol/link.h"

#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/event_relay.h"
#include "protocol/library_file.h"

#include <QFileInfo>

Link::Link(UiHandover& handover)
    : ui(handover), mailbox(handover), thr(mailbox, [this](const Request& r) { return usb_send(r); }) {}

Link::~Link() {
    thr.Terminate();
    thr.WaitFor();
    usb_shutdown();
    ui.forget(this);
    hid = THIDentries{};
    library_.unload();
    relay_.unload();
}

bool Link::usb_init() {
    init_error_.clear();
    thr.Start();        // only the first activation starts it
    put_library_file(); // throws LibraryFileError: the caller shows it and tries again next time
    if (!QFileInfo::exists(QString::fromLatin1(library_file_name))) {
        init_error_ = QStringLiteral("%1: файл библиотеки пропал сразу после записи").arg(library_file_name);
        return false;
    }
    if (!usb_load(init_error_))
        return false;
    usb_connect();
    return true;
}

void Link::relay_report(void* link, THIDreport report, uint8_t /*count*/) {
    static_cast<Link*>(link)->hid_event(report);
}

void Link::relay_change(void* link) {
    static_cast<Link*>(link)->usb_connect();
}

bool Link::usb_load(QString& error) {
    // Loaded once; a later activation finds it bound and goes on with the same instance.
    if (!library_.loaded()) {
        if (!load_carried_relay(relay_, error))
            return false;
        if (!load_carried_library(library_, hid, error)) {
            relay_.unload();
            return false;
        }
        const auto bind = reinterpret_cast<TRelayBind>(relay_.symbol(relay_bind_name));
        if (bind == nullptr) {
            error = QStringLiteral("event relay: entry point %1 is missing").arg(relay_bind_name);
            return false;
        }
        bind(TEventRelay{this, &Link::relay_report, &Link::relay_change});
    }
    hid.HIDsetEventHandler(reinterpret_cast<THIDeventHandler>(relay_.symbol(relay_report_name)));
    hid.USBsetEventHandler(reinterpret_cast<TUSBeventHandler>(relay_.symbol(relay_change_name)));
    return true;
}

void Link::usb_shutdown() {
    if (hid.HIDsetEventHandler == nullptr)
        return; // never loaded
    // The library's threads outlive the link's own members at exit: they must stop calling in first.
    hid.USBsetEventHandler(nullptr);
    hid.HIDsetEventHandler(nullptr);
    if (dev_open) {
        hid.HIDcloseDevice();
        dev_open = false;
    }
}

void Link::poll_settings() {
    if (!boot_mode.load(std::memory_order_acquire))
        mailbox.post(Request{cmd_get_par, {}, 0});
}

Request Link::write_request() const {
    uint64_t edit = 0;
    const TparBytes bytes = to_bytes(par.take_for_writing(edit));
    return Request{cmd_set_par, {bytes.begin(), bytes.end()}, edit};
}

void Link::save() {
    // Until the open unit's own block has arrived, `par` is not its settings: writing it would
    // overwrite them with zeros or another unit's block.
    if (gate.valid())
        mailbox.post(write_request());
}
