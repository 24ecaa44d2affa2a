// The kernel's hidraw nodes: listing, probing through sysfs, opening and transfers.
#include "hidlib/platform.h"

#include <linux/hidraw.h>
#include <linux/netlink.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace platform::hidraw {
namespace {

constexpr uint16_t kBusUsb = 0x0003;
// Far above any report descriptor (the kernel caps them at 4 KiB); only guards against odd files.
constexpr std::size_t kMaxFileSize = 1 << 20;

std::mutex root_mutex;
std::string root_dir; // "" = the real system

std::string root() {
    std::lock_guard lock(root_mutex);
    return root_dir;
}

std::string sys_dir() {
    return root() + "/sys";
}
std::string dev_dir() {
    return root() + "/dev";
}

// The whole file, or nothing when it cannot be read.
std::optional<std::string> read_file(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || data.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

std::string_view trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Whole-string hex number no larger than `max`.
std::optional<uint32_t> parse_hex(std::string_view s, uint32_t max) {
    s = trim(s);
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<uint16_t> read_hex16(const fs::path& path) {
    auto text = read_file(path);
    if (!text)
        return std::nullopt;
    auto value = parse_hex(*text, 0xFFFF);
    if (!value)
        return std::nullopt;
    return static_cast<uint16_t>(*value);
}

// UTF-8 to Latin-1; code points above U+00FF and malformed bytes become '?'.
std::string to_latin1(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Sequence length from the lead byte; `min` rejects overlong forms.
        std::size_t extra = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
            min = 0x10000;
        } else {
            out.push_back('?');
            ++i;
            continue;
        }
        std::size_t n = 1;
        for (; n <= extra && i + n < utf8.size(); ++n) {
            auto c = static_cast<unsigned char>(utf8[i + n]);
            if ((c & 0xC0) != 0x80)
                break;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (n <= extra) { // cut short: one '?' for the broken sequence
            out.push_back('?');
            i += n;
            continue;
        }
        out.push_back(cp >= min && cp <= 0xFF ? static_cast<char>(cp) : '?');
        i += n;
    }
    return out;
}

// A sysfs string attribute: UTF-8 with one trailing newline.
std::optional<std::string> read_string(const fs::path& path) {
    auto text = read_file(path);
    if (!text)
        return std::nullopt;
    if (!text->empty() && text->back() == '\n')
        text->pop_back();
    return to_latin1(*text);
}

struct Uevent {
    std::optional<uint16_t> bus, vendor, product;
    std::optional<std::string> name;
    std::string uniq;
};

Uevent parse_uevent(std::string_view text) {
    Uevent u;
    while (!text.empty()) {
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "HID_ID") {
            // BBBB:VVVVVVVV:PPPPPPPP
            auto c1 = value.find(':');
            auto c2 = c1 == std::string_view::npos ? c1 : value.find(':', c1 + 1);
            if (c2 == std::string_view::npos)
                continue;
            u.bus = parse_hex(value.substr(0, c1), 0xFFFF);
            u.vendor = parse_hex(value.substr(c1 + 1, c2 - c1 - 1), 0xFFFF);
            u.product = parse_hex(value.substr(c2 + 1), 0xFFFF);
        } else if (key == "HID_NAME") {
            u.name = std::string(value);
        } else if (key == "HID_UNIQ") {
            u.uniq = std::string(value);
        }
    }
    return u;
}

// The USB device an interface belongs to: the nearest ancestor carrying the device descriptor fields.
std::optional<fs::path> usb_ancestor(const fs::path& hid_device, const fs::path& sys) {
    std::error_code ec;
    for (fs::path p = hid_device.parent_path(); p != sys && p != p.parent_path(); p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec) && fs::exists(p / "idProduct", ec) &&
            fs::exists(p / "bcdDevice", ec))
            return p;
    }
    return std::nullopt;
}

Facts probe_sysfs(const std::string& path) {
    Facts facts;
    std::string name = fs::path(path).filename().string();
    if (name.empty() || name == "." || name == "..")
        return facts;

    std::error_code ec;
    fs::path sys = fs::weakly_canonical(sys_dir(), ec);
    if (ec)
        return facts;
    fs::path device = fs::canonical(sys / "class" / "hidraw" / name / "device", ec);
    if (ec)
        return facts;
    auto uevent_text = read_file(device / "uevent");
    if (!uevent_text)
        return facts;
    facts.found = true;
    Uevent uevent = parse_uevent(*uevent_text);

    if (auto descriptor = read_file(device / "report_descriptor"))
        facts.descriptor = std::vector<uint8_t>(descriptor->begin(), descriptor->end());

    // Bluetooth and other buses can sit under a USB adapter, so only a USB interface may use the ancestor.
    std::optional<fs::path> usb = uevent.bus == kBusUsb ? usb_ancestor(device, sys) : std::nullopt;
    if (usb) {
        auto vendor = read_hex16(*usb / "idVendor");
        auto product = read_hex16(*usb / "idProduct");
        auto version = read_hex16(*usb / "bcdDevice");
        facts.attributes = vendor && product && version;
        facts.vendor = vendor.value_or(0);
        facts.product = product.value_or(0);
        facts.version = version.value_or(0);
        facts.manufacturer = read_string(*usb / "manufacturer");
        facts.product_name = read_string(*usb / "product");
        facts.serial = read_string(*usb / "serial");
    } else {
        facts.attributes = uevent.vendor && uevent.product;
        facts.vendor = uevent.vendor.value_or(0);
        facts.product = uevent.product.value_or(0);
        facts.version = 0;
        if (uevent.name)
            facts.product_name = to_latin1(*uevent.name);
        if (!uevent.uniq.empty())
            facts.serial = to_latin1(uevent.uniq);
    }
    return facts;
}

// Threads of closed devices whose last transfer was still in the kernel: joined when the library unloads,
// so that closing a device never waits for the kernel's own limit.
// Made on first need (a static would be torn down at exit under threads still running).
std::mutex lingering_m;
std::vector<std::thread>* lingering = nullptr;

// hidraw's write and its report ioctls wait in the kernel until the device has taken the transfer, up to
// the USB core's 5 s, whatever O_NONBLOCK says; poll() calls a node writable all the while. So they run
// here, on a thread of the device's own, and the caller waits only as long as its limit allows.
class Sender {
public:
    explicit Sender(int fd) : state_(std::make_shared<State>()) { state_->fd = fd; }
    // A transfer still in the kernel is not waited for: its thread ends with it, on a descriptor of its own.
    ~Sender() {
        bool busy;
        {
            std::lock_guard lock(state_->m);
            state_->stop = true;
            busy = state_->job && state_->job->started && !state_->job->done;
        }
        state_->cv.notify_all();
        if (!thread_.joinable())
            return;
        if (!busy) {
            thread_.join(); // it ends at once
            return;
        }
        try {
            std::lock_guard lock(lingering_m);
            if (lingering == nullptr)
                lingering = new std::vector<std::thread>;
            lingering->push_back(std::move(thread_));
        } catch (...) {
            thread_.join();
        }
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Runs `call(fd)` on the sender's thread; its result, or -1 when it did not end within timeout_ms.
    // A transfer that outlives its caller's limit goes on in the kernel and keeps the sender busy: the
    // next one waits for it within its own limit, so transfers reach the device in call order.
    long run(std::function<long(int)> call, int timeout_ms) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
        State& s = *state_;
        std::unique_lock lock(s.m);
        if (!thread_.joinable()) {
            // The thread keeps its own duplicate of the descriptor, closed when it ends.
            const int own = ::fcntl(s.fd, F_DUPFD_CLOEXEC, 0);
            if (own < 0)
                return -1;
            thread_ = std::thread([state = state_, own] { serve(*state, own); });
        }
        if (!s.cv.wait_until(lock, deadline, [&] { return !s.job || s.job->done; }))
            return -1; // the previous transfer is still in the kernel
        auto job = std::make_shared<Job>();
        job->call = std::move(call);
        s.job = job;
        s.cv.notify_all();
        if (!s.cv.wait_until(lock, deadline, [&] { return job->done; })) {
            if (!job->started)
                s.job.reset(); // withdrawn: it never reaches the device
            return -1;
        }
        return job->result;
    }

private:
    struct Job {
        std::function<long(int)> call;
        long result = -1;
        bool started = false;
        bool done = false;
    };
    struct State {
        std::mutex m;
        std::condition_variable cv;
        std::shared_ptr<Job> job; // the last transfer handed over
        bool stop = false;
        int fd = -1;
    };

    static void serve(State& s, int fd) {
        std::unique_lock lock(s.m);
        for (;;) {
            s.cv.wait(lock, [&] { return s.stop || (s.job && !s.job->started); });
            if (s.stop)
                break;
            const std::shared_ptr<Job> job = s.job;
            job->started = true;
            lock.unlock();
            const long result = job->call(fd);
            lock.lock();
            job->result = result;
            job->done = true;
            s.cv.notify_all();
        }
        ::close(fd);
    }

    std::shared_ptr<State> state_;
    std::thread thread_; // started with the first transfer
};

// The limit of a control transfer, as on the virtual bus.
constexpr int control_limit_ms = 1000;

// hidraw ioctls carry the length in the request's 14-bit size field.
bool length_fits_ioctl(const uint8_t* report, std::size_t length) {
    return report != nullptr && length > 0 && length <= _IOC_SIZEMASK;
}

int ioctl_retry(int fd, unsigned long request, void* arg) {
    int r;
    do
        r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

class HidrawDevice final : public Device {
public:
    HidrawDevice(int fd, bool read_write)
        : fd_(fd), read_write_(read_write), sender_(std::make_unique<Sender>(fd)) {}
    ~HidrawDevice() override {
        sender_.reset();
        ::close(fd_);
    }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    int input_fd() const override { return fd_; }

    long read_input(uint8_t* buffer, std::size_t size) override {
        if (!read_write_ || buffer == nullptr || size == 0)
            return -1;
        ssize_t n;
        do
            n = ::read(fd_, buffer, size);
        while (n < 0 && errno == EINTR);
        return n > 0 ? static_cast<long>(n) : -1; // 0 is no report: end of file means the node went away
    }

    bool write(const uint8_t* report, std::size_t length, int timeout_ms) override {
        if (!read_write_ || report == nullptr || length == 0)
            return false;
        // The sender keeps its own copy: a transfer that outlives the limit must not read the caller's
        // buffer.
        std::vector<uint8_t> copy(report, report + length);
        const long n = sender_->run(
            [copy = std::move(copy)](int fd) -> long {
                ssize_t written;
                do
                    written = ::write(fd, copy.data(), copy.size());
                while (written < 0 && errno == EINTR);
                return written;
            },
            timeout_ms);
        return n >= 0 && static_cast<std::size_t>(n) == length;
    }

    bool set_output(const uint8_t* report, std::size_t length) override {
        return control(HIDIOCSOUTPUT(length), report, length, nullptr);
    }
    bool get_input(uint8_t* report, std::size_t length) override {
        return control(HIDIOCGINPUT(length), report, length, report);
    }
    bool set_feature(const uint8_t* report, std::size_t length) override {
        return control(HIDIOCSFEATURE(length), report, length, nullptr);
    }
    bool get_feature(uint8_t* report, std::size_t length) override {
        return control(HIDIOCGFEATURE(length), report, length, report);
    }

private:
    // On a copy of the report, which a get fills and which goes back to `fill` only when the transfer
    // ended in time: one that outlives the limit must not touch the caller's buffer.
    bool control(unsigned long request, const uint8_t* report, std::size_t length, uint8_t* fill) {
        if (!read_write_ || !length_fits_ioctl(report, length))
            return false;
        auto buffer = std::make_shared<std::vector<uint8_t>>(report, report + length);
        const long r = sender_->run(
            [request, buffer](int fd) -> long { return ioctl_retry(fd, request, buffer->data()); },
            control_limit_ms);
        if (r < 0)
            return false;
        if (fill != nullptr)
            std::copy(buffer->begin(), buffer->end(), fill);
        return true;
    }

    int fd_;
    bool read_write_;
    std::unique_ptr<Sender> sender_;
};

// From the access rights (mode and access lists, as the caller's effective ids): opening the node
// instead would make the kernel's USB HID driver power an idle device up, about 50 ms a node.
bool may_read_write(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

} // namespace

void finish_transfers() {
    std::vector<std::thread>* threads;
    {
        std::lock_guard lock(lingering_m);
        threads = lingering;
        lingering = nullptr;
    }
    if (threads == nullptr)
        return;
    for (std::thread& t : *threads)
        t.join();
    delete threads;
}

void set_root(const std::string& root) {
    try {
        std::lock_guard lock(root_mutex);
        root_dir = root;
    } catch (...) {
    }
}

std::vector<std::string> list() {
    try {
        std::vector<std::pair<unsigned long long, std::string>> found;
        std::error_code ec;
        fs::directory_iterator it(sys_dir() + "/class/hidraw", ec);
        const std::string prefix = dev_dir() + "/";
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (!std::string_view(name).starts_with("hidraw") || name.size() == 6)
                continue;
            std::string_view digits = std::string_view(name).substr(6);
            unsigned long long n = 0;
            auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
            if (err != std::errc() || end != digits.data() + digits.size())
                continue;
            found.emplace_back(n, prefix + name);
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> paths;
        paths.reserve(found.size());
        for (auto& entry : found)
            paths.push_back(std::move(entry.second));
        return paths;
    } catch (...) {
        return {};
    }
}

Facts probe(const std::string& path) {
    try {
        Facts facts = probe_sysfs(path);
        // Access is judged apart from sysfs: an operator without permission still sees the device.
        facts.read_write = facts.found && may_read_write(path);
        return facts;
    } catch (...) {
        return {};
    }
}

std::unique_ptr<Device> open(const std::string& path, bool read_write) {
    // O_PATH gives a handle without access to the device; every transfer on it fails.
    int fd = ::open(path.c_str(), read_write ? O_RDWR | O_NONBLOCK | O_CLOEXEC : O_PATH | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    try {
        return std::make_unique<HidrawDevice>(fd, read_write);
    } catch (...) {
        ::close(fd);
        return nullptr;
    }
}

bool is_hidraw_change(const char* uevent, std::size_t length) {
    if (uevent == nullptr || length == 0)
        return false;
    std::string_view data(uevent, length);
    // udev's rebroadcasts start with this tag; only the kernel's own events are wanted.
    if (data.substr(0, 7) == "libudev")
        return false;

    auto next_field = [&data]() {
        auto nul = data.find('\0');
        std::string_view field = data.substr(0, nul);
        data = nul == std::string_view::npos ? std::string_view() : data.substr(nul + 1);
        return field;
    };
    if (next_field().find('@') == std::string_view::npos) // the "ACTION@DEVPATH" header
        return false;
    std::optional<std::string_view> action, subsystem;
    while (!data.empty()) {
        std::string_view field = next_field();
        if (!action && field.substr(0, 7) == "ACTION=")
            action = field.substr(7);
        else if (!subsystem && field.substr(0, 10) == "SUBSYSTEM=")
            subsystem = field.substr(10);
    }
    return subsystem == "hidraw" && (action == "add" || action == "remove");
}

int open_uevent_socket() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;    // the kernel picks a free port id
    address.nl_groups = 1; // kernel events; udev's rebroadcasts use group 2
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace platform::hidraw
