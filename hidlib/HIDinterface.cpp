// The device table, probe rules, item counts, open and close, transfers and the input thread.
#include "hidlib/HIDinterface.h"

#include "hidlib/device_watch.h"
#include "hidlib/report_descriptor.h"
#include "hidlib/report_limits.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
    : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      watch_(std::make_unique<DeviceWatch>([this] { change_handler_.call([] { return true; }); })) {
    // No slot is open before the first scan either.
    for (THIDdeviceInfo& slot : Devices)
        slot.Handle = -1;
    input_ = std::thread([this] { input_loop(); });
}

HIDinterface::~HIDinterface() {
    stop_ = true;
    wake();
    if (input_.joinable())
        input_.join();
    watch_.reset();
    std::array<std::shared_ptr<platform::Device>, slot_count> handles;
    {
        std::lock_guard lock(m_);
        handles.swap(handles_);
        draining_ = {};
    }
    handles = {};
    platform::hidraw::finish_transfers();
    platform::vhid::forget_devices();
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
    std::vector<platform::Facts> facts;
    facts.reserve(paths.size());
    for (const std::string& path : paths)
        facts.push_back(platform::hidraw::probe(path));
    // Virtual devices are asked together, so silent ones cost the first scan one wait in all.
    const std::vector<std::string> virtual_paths = platform::vhid::list();
    // Only the first scan waits for the devices' answers, so that a host started beside its units sees
    // them at once; later ones never hold the caller (a window's thread), since an answer that comes
    // after a scan raises a device change of its own.
    std::vector<platform::Facts> virtual_facts =
        platform::vhid::probe_all(virtual_paths, scanned_ ? 0 : platform::vhid::new_device_wait_ms);
    scanned_ = true;
    paths.insert(paths.end(), virtual_paths.begin(), virtual_paths.end());
    std::move(virtual_facts.begin(), virtual_facts.end(), std::back_inserter(facts));
    watch_->questions_changed();

    // Probing talks to every device: done without the lock, so transfers of the current device go on.
    std::array<THIDdeviceInfo, slot_count> table{};
    std::array<std::string, slot_count> table_paths;
    int stored = 0;
    for (std::size_t n = 0; n < paths.size(); ++n) {
        const std::string& path = paths[n];
        THIDdeviceInfo info;
        describe(path, facts[n], info);
        // Every interface is probed, also past 32; only those with a vendor and product are kept.
        if (info.VendorID != 0 && info.ProductID != 0 && stored < slot_count) {
            table_paths[static_cast<std::size_t>(stored)] = path;
            table[static_cast<std::size_t>(stored++)] = info;
        }
    }
    for (int i = stored; i < slot_count; ++i) {
        std::memset(&table[static_cast<std::size_t>(i)], 0, sizeof(THIDdeviceInfo));
        table[static_cast<std::size_t>(i)].Handle = -1;
    }
    std::array<std::shared_ptr<platform::Device>, slot_count> forgotten;
    {
        std::lock_guard lock(m_);
        Devices = table;
        paths_.swap(table_paths);
        // The handles are forgotten, as the table says; closed (outside the lock) so that no descriptor
        // leaks. The current index stays, and with no handle every transfer on it fails.
        forgotten.swap(handles_);
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
        const std::string path = paths_[index];
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
    // Reports the device sent before it was closed still reach the handler (a unit that answers and
    // then restarts must not lose its answer), but only those already waiting: the input thread reads
    // them out while this call waits, and nothing of the device comes after.
    const auto deadline = std::chrono::steady_clock::now() + close_limit;
    const bool handler = input_handler_.get() != nullptr;
    std::shared_ptr<platform::Device> closed;
    std::unique_lock lock(m_);
    if (CurrentDevice < 0)
        return;
    const auto i = static_cast<std::size_t>(CurrentDevice);
    closed.swap(handles_[i]);
    const bool drain =
        closed && Devices[i].CanReadWrite != 0 && handler && std::this_thread::get_id() != input_.get_id();
    if (drain) {
        closed->freeze_input();
        draining_ = {closed, Devices[i]};
    }
    Devices[i].Handle = -1;
    CurrentDevice = -1;
    lock.unlock();
    wake();
    if (drain) {
        // One limit for the whole close, however many reports wait and however slow the handler: at
        // the limit the drain is called off, and no further call starts (a call under way ends alone).
        lock.lock();
        if (!drained_.wait_until(lock, deadline, [&] { return draining_.device != closed; }))
            draining_ = {};
        lock.unlock();
    }
    closed.reset(); // outside the lock: closing may take a moment
}

void HIDinterface::drain(const Current& d) {
    const std::size_t n = input_length(d.info.InputReportByteLength);
    const auto still_draining = [&] {
        std::lock_guard lock(m_);
        return draining_.device == d.device && !stop_;
    };
    for (int taken = 0; n != 0 && taken < drain_reports && still_draining(); ++taken) {
        THIDreport report{};
        if (d.device->read_input(&report.ReportID, n) < 0 || !deliver(report, d))
            break;
    }
    end_drain(d.device);
}

void HIDinterface::end_drain(const std::shared_ptr<platform::Device>& device) {
    {
        std::lock_guard lock(m_);
        if (device == nullptr || draining_.device == device)
            draining_ = {};
    }
    drained_.notify_all();
}

bool HIDinterface::deliver(const THIDreport& report, const Current& from) {
    const uint8_t items = item_count(from.info.InputItems, from.info.InputReportByteLength, report.ReportID);
    if (items == 0)
        return true; // read and dropped, as the item-count rule says
    // Checked just before the call starts: once close() has returned, the device is neither current
    // nor draining, so none of its reports reaches a handler any more.
    return input_handler_.call(
        [&] {
            std::lock_guard lock(m_);
            const bool is_current =
                CurrentDevice >= 0 && handles_[static_cast<std::size_t>(CurrentDevice)] == from.device;
            return is_current || draining_.device == from.device;
        },
        report, items);
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
    return current(c) ? size_byte(c.info.OutputReportByteLength) : 0;
}
uint8_t HIDinterface::input_size() const {
    Current c;
    return current(c) ? size_byte(c.info.InputReportByteLength) : 0;
}
uint8_t HIDinterface::feature_size() const {
    Current c;
    return current(c) ? size_byte(c.info.FeatureReportByteLength) : 0;
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
    // The length always comes from the device's capabilities, never from the caller; a report longer
    // than the 65-byte record is refused, since the caller's buffer is a record (HIDtypes.h).
    const uint16_t n = transfer_length(length_of(c.info, k));
    if (n == 0)
        return 0;
    return call(*c.device, buffer, n) ? item_count(items_of(c.info, k), n, buffer[0]) : 0;
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
    // A longer output report does not fit the 65-byte record: refused rather than sent cut short.
    const std::size_t n = transfer_length(c.info.OutputReportByteLength);
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
    const std::size_t n = input_length(c.info.InputReportByteLength);
    if (n == 0 || c.device->read_input(&got.ReportID, n) < 0)
        return 0;
    *report = got;
    return item_count(c.info.InputItems, c.info.InputReportByteLength, got.ReportID);
}

void HIDinterface::set_input_handler(THIDeventHandler handler) {
    input_handler_.set(handler);
    wake();
}

void HIDinterface::set_change_handler(TUSBeventHandler handler) {
    change_handler_.set(handler);
}

void HIDinterface::input_loop() {
    // Best effort: a higher priority keeps latency low under load; refused without privileges.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -10);

    while (!stop_) {
        Current draining;
        {
            std::lock_guard lock(m_);
            draining = draining_;
        }
        if (draining.device) {
            drain(draining);
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
                             input_handler_.get() != nullptr && c.device->input_fd() >= 0;
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
        const std::size_t n = input_length(c.info.InputReportByteLength);
        const long got = n == 0 ? -1 : c.device->read_input(&report.ReportID, n);
        if (got >= 0) {
            deliver(report, c);
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
    end_drain(nullptr); // a close still waiting is not left hanging by the stop
}
