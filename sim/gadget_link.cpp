// The USB HID gadget: making it in configfs, binding it to a UDC, and moving reports on its device node.
#include "sim/gadget_link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* function_dir = "functions/hid.usb0";
constexpr const char* config_dir = "configs/c.1";
constexpr const char* strings_dir = "strings/0x409"; // US English, the language hosts ask for

// One write of the whole value, as configfs and sysfs attributes want it.
bool write_attribute(const std::string& path, const void* data, std::size_t size, std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(size)) {
        why = path + ": " + (n < 0 ? std::strerror(error) : "short write");
        return false;
    }
    return true;
}

bool write_text(const std::string& path, const std::string& text, std::string& why) {
    return write_attribute(path, text.data(), text.size(), why);
}

std::string hex16(uint16_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%04x", v);
    return s;
}

std::string read_text(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    std::string s(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The kernel takes bcdDevice only as binary-coded decimal: every nibble 0 to 9.
bool is_bcd(uint16_t v) {
    for (int shift = 0; shift < 16; shift += 4)
        if (((v >> shift) & 0xF) > 9)
            return false;
    return true;
}

std::string first_udc(const std::string& sys) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sys + "/class/udc", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

} // namespace

GadgetLink::GadgetLink(GadgetOptions options) : options_(std::move(options)) {}

GadgetLink::~GadgetLink() {
    unplug();
    remove();
}

std::string GadgetLink::dir() const {
    return options_.configfs + "/" + options_.name;
}

bool GadgetLink::fail(const std::string& what) {
    std::lock_guard lock(m_);
    error_ = what;
    return false;
}

std::string GadgetLink::error() const {
    std::lock_guard lock(m_);
    return error_;
}

std::string GadgetLink::device_path() const {
    std::lock_guard lock(m_);
    return node_;
}

std::string GadgetLink::udc() const {
    std::lock_guard lock(m_);
    return udc_;
}

bool GadgetLink::available(const GadgetOptions& options, std::string* why) {
    std::string reason;
    std::error_code ec;
    if (!fs::is_directory(options.configfs, ec))
        reason = options.configfs + " is missing (configfs and libcomposite are needed)";
    else if (first_udc(options.sys).empty())
        reason = "no USB device controller in " + options.sys + "/class/udc (dummy_hcd gives one)";
    if (why)
        *why = reason;
    return reason.empty();
}

// Takes apart a gadget of this name, also one left bound by a process that died; missing parts are fine.
void GadgetLink::remove() {
    const std::string g = dir();
    std::error_code ec;
    if (!fs::exists(g, ec))
        return;
    std::string ignored;
    (void)write_text(g + "/UDC", "\n", ignored);
    for (fs::directory_iterator it(g + "/configs", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::error_code inner;
        for (fs::directory_iterator link(it->path(), inner); !inner && link != fs::directory_iterator();
             link.increment(inner))
            if (link->is_symlink())
                ::unlink(link->path().c_str());
        ::rmdir((it->path() / strings_dir).c_str());
        ::rmdir(it->path().c_str());
    }
    for (fs::directory_iterator it(g + "/functions", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ::rmdir(it->path().c_str());
    ::rmdir((g + "/" + strings_dir).c_str());
    ::rmdir(g.c_str());
    made_ = false;
}

bool GadgetLink::make(const vhid_protocol::Info& identity) {
    remove();
    const std::string g = dir();
    const std::string f = g + "/" + function_dir;
    if (::mkdir(g.c_str(), 0755) != 0)
        return fail(g + ": " + std::strerror(errno));
    made_ = true;
    std::string why;
    if (::mkdir((g + "/" + strings_dir).c_str(), 0755) != 0 || ::mkdir(f.c_str(), 0755) != 0 ||
        ::mkdir((g + "/" + config_dir).c_str(), 0755) != 0)
        return fail(g + ": cannot make the gadget's folders: " + std::strerror(errno));
    // The function's attributes are fixed once it is linked into a configuration.
    if (!write_text(f + "/protocol", "0", why) || !write_text(f + "/subclass", "0", why) ||
        !write_text(f + "/report_length", std::to_string(options_.report_length), why) ||
        !write_attribute(f + "/report_desc", identity.descriptor.data(), identity.descriptor.size(), why))
        return fail(why);
    if (::symlink(f.c_str(), (g + "/" + config_dir + "/hid.usb0").c_str()) != 0)
        return fail(g + ": cannot link the HID function into its configuration: " + std::strerror(errno));
    return true;
}

bool GadgetLink::set_identity(const vhid_protocol::Info& identity) {
    if (!is_bcd(identity.version))
        return fail("version " + hex16(identity.version) +
                    " is not binary-coded decimal; the kernel takes no other bcdDevice");
    const std::string g = dir();
    const std::string s = g + "/" + strings_dir;
    std::string why;
    // configfs drops one trailing newline; a lone newline makes the string empty, which the host reads as
    // none (an empty write is refused).
    const auto text = [](const std::optional<std::string>& s) { return s.value_or("") + "\n"; };
    if (!write_text(g + "/idVendor", hex16(identity.vendor), why) ||
        !write_text(g + "/idProduct", hex16(identity.product), why) ||
        !write_text(g + "/bcdDevice", hex16(identity.version), why) ||
        !write_text(s + "/manufacturer", text(identity.manufacturer), why) ||
        !write_text(s + "/product", text(identity.product_name), why) ||
        !write_text(s + "/serialnumber", text(identity.serial), why))
        return fail(why);
    return true;
}

bool GadgetLink::plug(const vhid_protocol::Info& identity) {
    if (plugged_)
        return true;
    if (identity.descriptor.empty())
        return fail("no report descriptor");
    if (!made_ && !make(identity))
        return false;
    if (!set_identity(identity))
        return false;
    const std::string udc = options_.udc.empty() ? first_udc(options_.sys) : options_.udc;
    if (udc.empty())
        return fail("no USB device controller in " + options_.sys + "/class/udc");
    std::string why;
    if (!write_text(dir() + "/UDC", udc, why))
        return fail("cannot bind to " + udc + ": " + why);

    // The device node appears with the binding (devtmpfs makes it before the write returns); its name
    // comes from the function's device number.
    const std::string number = read_text(dir() + "/" + function_dir + "/dev");
    std::string node;
    const std::string uevent = read_text(options_.sys + "/dev/char/" + number + "/uevent");
    for (std::size_t at = 0; at < uevent.size();) {
        const std::size_t eol = std::min(uevent.find('\n', at), uevent.size());
        const std::string line = uevent.substr(at, eol - at);
        if (line.starts_with("DEVNAME="))
            node = options_.dev + "/" + line.substr(8);
        at = eol + 1;
    }
    const int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const std::string reason =
            node.empty() ? "no device node for " + number : node + ": " + std::strerror(errno);
        (void)write_text(dir() + "/UDC", "\n", why);
        return fail(reason);
    }
    {
        std::lock_guard lock(write_m_);
        fd_ = fd;
        wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    {
        std::lock_guard lock(m_);
        node_ = node;
        udc_ = udc;
    }
    plugged_ = true;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void GadgetLink::unplug() {
    if (!plugged_)
        return;
    {
        // The host has taken the last report when no write is pending; bounded, as a host that does not
        // read never takes it.
        std::lock_guard lock(write_m_);
        pollfd p{fd_, POLLOUT, 0};
        (void)::poll(&p, 1, 500);
    }
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    thread_.join();
    {
        std::lock_guard lock(write_m_);
        ::close(fd_);
        ::close(wake_fd_);
        fd_ = wake_fd_ = -1;
    }
    {
        std::lock_guard lock(m_);
        node_.clear();
        udc_.clear();
    }
    std::string why;
    (void)write_text(dir() + "/UDC", "\n", why);
    plugged_ = false;
}

bool GadgetLink::send_input(const Report& report, int timeout_ms) {
    std::lock_guard lock(write_m_);
    if (fd_ < 0 || report.empty())
        return false;
    // One report in flight at a time: POLLOUT once the host has taken the previous one.
    pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
    for (;;) {
        const int r = ::poll(p, 2, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (p[1].revents & POLLIN) || !(p[0].revents & POLLOUT))
            return false;
        break;
    }
    ssize_t n;
    do
        n = ::write(fd_, report.data(), report.size());
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(report.size());
}

void GadgetLink::serve() {
    std::array<uint8_t, 4096> buffer{};
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents & POLLIN)
            return;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return;
        if (!(p[0].revents & POLLIN))
            continue;
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n > 0 && on_output)
            on_output(Report(buffer.begin(), buffer.begin() + n));
    }
}
