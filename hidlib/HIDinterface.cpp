// The device table, probe rules, item counts, open and close, transfers and the input thread.
#include "hidlib/HIDinterface.h"

#include "hidlib/device_watch.h"
#include "hidlib/report_descriptor.h"

#include <algorithm>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void store(THIDstring& field, const std::string& text) {
    const auto n = std::min<std::size_t>(text.size(), 255);
    field.Length = static_cast<uint8_t>(n);
    std::memcpy(field.Chars, text.data(), n);
}

void fill_table(THIDreportItem (&table)[10], uint16_t length, const std::vector<ValueCap>& caps) {
    std::memset(table, 0, sizeof table);
    const auto whole = static_cast<uint8_t>(length == 0 ? 0 : length - 1);
    table[0] = {0, 0, 8, whole};
    const std::size_t n = std::min<std::size_t>(caps.size(), 10);
    for (std::size_t i = 0; i < n; ++i)
        table[i] = {caps[i].usage, caps[i].report_id, static_cast<uint8_t>(caps[i].bit_size),
                    static_cast<uint8_t>(caps[i].report_count)};
    // A device that declares its whole report as one wide item is counted in bytes.
    if (n == 1 && table[0].ReportCount == 1)
        table[0].ReportCount = whole;
}

std::shared_ptr<platform::Device> open_path(const std::string& path, bool read_write) {
    return platform::vhid::owns(path) ? platform::vhid::open(path, read_write)
                                      : platform::hidraw::open(path, read_write);
}

} // namespace

uint8_t item_count(const THIDreportItem (&items)[10], uint16_t length, uint8_t id) {
    uint8_t sum = 0;
    for (const auto& item : items)
        if (item.ReportID == id)
            sum = static_cast<uint8_t>(sum + item.ReportCount);
    return sum != 0 ? sum : static_cast<uint8_t>((length & 0xFF) - 1);
}

void describe(const std::string& path, const platform::Facts& facts, THIDdeviceInfo& info) {
    std::memset(&info, 0, sizeof info);
    store(info.DevicePath, std::string(path.substr(0, 255)) + '\0');
    info.Handle = -1;
    if (!facts.found)
        return;
    info.CanReadWrite = facts.read_write ? 1 : 0;
    if (facts.attributes) {
        info.VendorID = facts.vendor;
        info.ProductID = facts.product;
        info.VersionNumber = facts.version;
    }
    if (facts.manufacturer)
        store(info.Manufacturer, *facts.manufacturer);
    if (facts.product_name)
        store(info.Product, *facts.product_name);
    store(info.SerialNumber, facts.serial ? *facts.serial : std::string("---"));
    if (!facts.descriptor)
        return;
    const ReportCaps caps = parse_report_descriptor(*facts.descriptor);
    info.OutputReportByteLength = caps.output_length;
    info.InputReportByteLength = caps.input_length;
    info.FeatureReportByteLength = caps.feature_length;
    fill_table(info.OutputItems, caps.output_length, caps.output);
    fill_table(info.InputItems, caps.input_length, caps.input);
    fill_table(info.FeatureItems, caps.feature_length, caps.feature);
}

HIDinterface::HIDinterface()
    : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), watch_(std::make_unique<DeviceWatch>(*this)) {
    input_ = std::thread([this] { input_loop(); });
}

HIDinterface::~HIDinterface() {
    stop_ = true;
    wake();
    if (input_.joinable())
        input_.join();
    watch_.reset();
    {
        std::lock_guard lock(m_);
        for (auto& h : handles_)
            h.reset();
    }
    if (wake_fd_ >= 0)
        ::close(wake_fd_);
}

void HIDinterface::wake() {
    const uint64_t one = 1;
    if (wake_fd_ >= 0)
        (void)!::write(wake_fd_, &one, sizeof one);
}

uint8_t HIDinterface::scan() {
    std::vector<std::string> paths = platform::hidraw::list();
    const std::vector<std::string> virtual_paths = platform::vhid::list();
    paths.insert(paths.end(), virtual_paths.begin(), virtual_paths.end());

    // Probing talks to every device: done without the lock, so transfers of the current device go on.
    std::array<THIDdeviceInfo, slot_count> table{};
    int stored = 0;
    for (const std::string& path : paths) {
        THIDdeviceInfo info;
        describe(path,
                 platform::vhid::owns(path) ? platform::vhid::probe(path) : platform::hidraw::probe(path),
                 info);
        // Every interface is probed, also past 32; only those with a vendor and product are kept.
        if (info.VendorID != 0 && info.ProductID != 0 && stored < slot_count)
            table[static_cast<std::size_t>(stored++)] = info;
    }
    for (int i = stored; i < slot_count; ++i) {
        std::memset(&table[static_cast<std::size_t>(i)], 0, sizeof(THIDdeviceInfo));
        table[static_cast<std::size_t>(i)].Handle = -1;
    }
    {
        std::lock_guard lock(m_);
        Devices = table;
        // The handles are forgotten, as the table says; closed here so that no descriptor leaks.
        // The current index stays, and with no handle every transfer on it fails.
        for (auto& h : handles_)
            h.reset();
    }
    wake();
    return static_cast<uint8_t>(stored);
}

void HIDinterface::get_info(uint8_t index, THIDdeviceInfo* info) const {
    if (index >= slot_count || info == nullptr)
        return;
    std::lock_guard lock(m_);
    *info = Devices[index];
}

bool HIDinterface::open(uint8_t index) {
    if (index >= slot_count)
        return false; // outside the table: nothing to open
    std::unique_lock lock(m_);
    THIDdeviceInfo& slot = Devices[index];
    if (slot.Handle == -1 || !handles_[index]) {
        const std::string path(slot.DevicePath.Chars, strnlen(slot.DevicePath.Chars, slot.DevicePath.Length));
        const bool read_write = slot.CanReadWrite != 0;
        lock.unlock();
        std::shared_ptr<platform::Device> device = path.empty() ? nullptr : open_path(path, read_write);
        lock.lock();
        handles_[index] = device;
        slot.Handle = device ? next_handle_++ : -1;
    }
    const bool ok = slot.Handle != -1;
    CurrentDevice = ok ? index : -1;
    current_gone_ = false;
    lock.unlock();
    wake();
    return ok;
}

void HIDinterface::close() {
    std::unique_lock lock(m_);
    if (CurrentDevice < 0)
        return;
    const auto i = static_cast<std::size_t>(CurrentDevice);
    // Reports the device sent before it was closed still reach the handler (a unit that answers and
    // then restarts must not lose its answer): the input thread reads them out before it lets go.
    const bool drain = handles_[i] && Devices[i].CanReadWrite != 0 && input_handler_.load() != nullptr &&
                       std::this_thread::get_id() != input_.get_id();
    if (drain)
        draining_ = {handles_[i], Devices[i]};
    handles_[i].reset();
    Devices[i].Handle = -1;
    CurrentDevice = -1;
    lock.unlock();
    wake();
    if (drain) {
        constexpr auto drain_limit = std::chrono::seconds(1); // a handler that hangs does not hang the host
        lock.lock();
        drained_.wait_for(lock, drain_limit, [this] { return !draining_.device; });
    }
}

void HIDinterface::drain() {
    Current d;
    {
        std::lock_guard lock(m_);
        d = draining_;
    }
    const std::size_t n = std::min<std::size_t>(d.info.InputReportByteLength, sizeof(THIDreport));
    THIDreport report{};
    while (n != 0 && d.device->read_input(&report.ReportID, n) >= 0) {
        deliver(report, d.info);
        report = {};
    }
    {
        std::lock_guard lock(m_);
        draining_ = {};
    }
    drained_.notify_all();
}

void HIDinterface::deliver(const THIDreport& report, const THIDdeviceInfo& info) {
    const uint8_t items = item_count(info.InputItems, info.InputReportByteLength, report.ReportID);
    std::lock_guard lock(handler_m_);
    const THIDeventHandler handler = input_handler_.load();
    if (items != 0 && handler != nullptr)
        handler(report, items);
}

bool HIDinterface::current(Current& c) const {
    std::lock_guard lock(m_);
    if (CurrentDevice < 0)
        return false;
    const auto i = static_cast<std::size_t>(CurrentDevice);
    c.device = handles_[i];
    c.info = Devices[i];
    return true;
}

uint8_t HIDinterface::output_size() const {
    Current c;
    return current(c) ? static_cast<uint8_t>(c.info.OutputReportByteLength) : 0;
}
uint8_t HIDinterface::input_size() const {
    Current c;
    return current(c) ? static_cast<uint8_t>(c.info.InputReportByteLength) : 0;
}
uint8_t HIDinterface::feature_size() const {
    Current c;
    return current(c) ? static_cast<uint8_t>(c.info.FeatureReportByteLength) : 0;
}
uint8_t HIDinterface::output_count(uint8_t id) const {
    Current c;
    return current(c) ? item_count(c.info.OutputItems, c.info.OutputReportByteLength, id) : 0;
}
uint8_t HIDinterface::input_count(uint8_t id) const {
    Current c;
    return current(c) ? item_count(c.info.InputItems, c.info.InputReportByteLength, id) : 0;
}
uint8_t HIDinterface::feature_count(uint8_t id) const {
    Current c;
    return current(c) ? item_count(c.info.FeatureItems, c.info.FeatureReportByteLength, id) : 0;
}

namespace {
// The four buffer transfers differ only in the platform call and the report type's length and table.
enum class Kind { output, input, feature };

uint16_t length_of(const THIDdeviceInfo& info, Kind k) {
    return k == Kind::output  ? info.OutputReportByteLength
           : k == Kind::input ? info.InputReportByteLength
                              : info.FeatureReportByteLength;
}

const THIDreportItem (&items_of(const THIDdeviceInfo& info, Kind k))[10] {
    return k == Kind::output ? info.OutputItems : k == Kind::input ? info.InputItems : info.FeatureItems;
}
} // namespace

template <class Buffer, class Call>
uint8_t HIDinterface::buffer_transfer(Buffer* buffer, int kind, Call call) {
    Current c;
    if (buffer == nullptr || !current(c) || !c.device)
        return 0;
    const auto k = static_cast<Kind>(kind);
    // The length always comes from the device's capabilities, never from the caller.
    const uint16_t n = length_of(c.info, k);
    return n != 0 && call(*c.device, buffer, n) ? item_count(items_of(c.info, k), n, buffer[0]) : 0;
}

uint8_t HIDinterface::set_output(const uint8_t* buffer) {
    return buffer_transfer(
        buffer, static_cast<int>(Kind::output),
        [](platform::Device& d, const uint8_t* b, uint16_t n) { return d.set_output(b, n); });
}

uint8_t HIDinterface::get_input(uint8_t* buffer) {
    return buffer_transfer(buffer, static_cast<int>(Kind::input),
                           [](platform::Device& d, uint8_t* b, uint16_t n) { return d.get_input(b, n); });
}

uint8_t HIDinterface::set_feature(const uint8_t* buffer) {
    return buffer_transfer(
        buffer, static_cast<int>(Kind::feature),
        [](platform::Device& d, const uint8_t* b, uint16_t n) { return d.set_feature(b, n); });
}

uint8_t HIDinterface::get_feature(uint8_t* buffer) {
    return buffer_transfer(buffer, static_cast<int>(Kind::feature),
                           [](platform::Device& d, uint8_t* b, uint16_t n) { return d.get_feature(b, n); });
}

uint8_t HIDinterface::write(const THIDreport& report) {
    Current c;
    if (!current(c) || !c.device || c.info.Handle == -1 || c.info.CanReadWrite == 0)
        return 0;
    // Longer output reports do not fit the 65-byte record: only what it holds is sent.
    const std::size_t n = std::min<std::size_t>(c.info.OutputReportByteLength, sizeof report);
    constexpr int write_limit_ms = 200;
    if (n == 0 || !c.device->write(&report.ReportID, n, write_limit_ms))
        return 0;
    return item_count(c.info.OutputItems, c.info.OutputReportByteLength, report.ReportID);
}

uint8_t HIDinterface::read(THIDreport* report) {
    Current c;
    if (report == nullptr || !current(c) || !c.device || c.info.Handle == -1)
        return 0;
    THIDreport got{};
    const std::size_t n = std::min<std::size_t>(c.info.InputReportByteLength, sizeof got);
    if (n == 0 || c.device->read_input(&got.ReportID, n) < 0)
        return 0;
    *report = got;
    return item_count(c.info.InputItems, c.info.InputReportByteLength, got.ReportID);
}

void HIDinterface::set_input_handler(THIDeventHandler handler) {
    if (std::this_thread::get_id() == input_.get_id()) {
        input_handler_ = handler; // from inside the handler: the call under way is this one
    } else {
        std::lock_guard lock(handler_m_);
        input_handler_ = handler;
    }
    wake();
}

void HIDinterface::set_change_handler(TUSBeventHandler handler) {
    change_handler_ = handler;
}

void HIDinterface::input_loop() {
    // Best effort: a higher priority keeps latency low under load; refused without privileges.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -10);

    while (!stop_) {
        bool closing;
        {
            std::lock_guard lock(m_);
            closing = draining_.device != nullptr;
        }
        if (closing) {
            drain();
            continue;
        }
        // Read only a device that is open for reading and writing, still there, and has a handler:
        // otherwise its reports wait in the system's queue.
        Current c;
        const bool have = current(c);
        bool gone;
        {
            std::lock_guard lock(m_);
            gone = current_gone_;
        }
        const bool reading = have && c.device && c.info.CanReadWrite != 0 && !gone &&
                             input_handler_.load() != nullptr && c.device->input_fd() >= 0;
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {reading ? c.device->input_fd() : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!::read(wake_fd_, &count, sizeof count);
            continue; // look at the state again
        }
        if (!reading || fds[1].revents == 0)
            continue;
        THIDreport report{};
        const std::size_t n = std::min<std::size_t>(c.info.InputReportByteLength, sizeof report);
        const long got = n == 0 ? -1 : c.device->read_input(&report.ReportID, n);
        if (got >= 0) {
            deliver(report, c.info);
        } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // The device went away: stop reading it and let the host know.
            {
                std::lock_guard lock(m_);
                if (CurrentDevice >= 0 && handles_[static_cast<std::size_t>(CurrentDevice)] == c.device)
                    current_gone_ = true;
            }
            watch_->device_gone();
        }
    }
}
