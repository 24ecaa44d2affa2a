// The per-user virtual HID bus: devices served by programs over UNIX sockets (docs/virtual-hid-bus.md).
#include "hidlib/platform.h"
#include "hidlib/vhid_protocol.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::vhid {

using namespace vhid_protocol;

namespace {

// A device that takes longer than this over a control request or its INFO is taken as broken.
constexpr int answer_timeout_ms = 1000;

bool wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int r;
    do
        r = ::poll(&p, 1, timeout_ms);
    while (r < 0 && errno == EINTR);
    return r == 1 && (p.revents & events) != 0;
}

bool send_packet(int fd, const std::vector<uint8_t>& packet) {
    const ssize_t n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(packet.size());
}

// One packet, waiting up to timeout_ms; its length, or -1.
long receive_packet(int fd, uint8_t* buffer, int timeout_ms) {
    if (!wait_for(fd, POLLIN, timeout_ms))
        return -1;
    const ssize_t n = ::recv(fd, buffer, max_packet, MSG_DONTWAIT);
    return n > 0 ? n : -1;
}

// Connects in a role and reads the device's INFO; the connection, or -1.
int connect_as(const std::string& path, Role role, Info& info) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::array<uint8_t, max_packet> packet{};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        send_packet(fd, {HELLO, role})) {
        const long n = receive_packet(fd, packet.data(), answer_timeout_ms);
        if (n > 0) {
            if (auto got = decode_info(packet.data(), static_cast<std::size_t>(n))) {
                info = std::move(*got);
                return fd;
            }
        }
    }
    ::close(fd);
    return -1;
}

class VirtualDevice : public Device {
public:
    VirtualDevice(int interrupt, int control) : interrupt_(interrupt), control_(control) {}
    ~VirtualDevice() override {
        if (interrupt_ >= 0)
            ::close(interrupt_);
        if (control_ >= 0)
            ::close(control_);
    }
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    int input_fd() const override { return interrupt_; }

    long read_input(uint8_t* buffer, std::size_t size) override {
        if (interrupt_ < 0)
            return -1;
        std::array<uint8_t, max_packet> packet{};
        const ssize_t n = ::recv(interrupt_, packet.data(), packet.size(), MSG_DONTWAIT);
        if (n <= 1 || packet[0] != INPUT)
            return -1;
        const auto length = std::min(static_cast<std::size_t>(n - 1), size);
        std::memcpy(buffer, packet.data() + 1, length);
        return static_cast<long>(length);
    }

    bool write(const uint8_t* report, std::size_t length, int timeout_ms) override {
        if (interrupt_ < 0 || !wait_for(interrupt_, POLLOUT, timeout_ms))
            return false;
        return send_packet(interrupt_, packet(OUTPUT, report, length));
    }

    bool set_output(const uint8_t* report, std::size_t length) override {
        return request(packet(SET_OUTPUT, report, length), nullptr, 0);
    }
    bool get_input(uint8_t* report, std::size_t length) override {
        return request(get_packet(GET_INPUT, report[0], length), report, length);
    }
    bool set_feature(const uint8_t* report, std::size_t length) override {
        return request(packet(SET_FEATURE, report, length), nullptr, 0);
    }
    bool get_feature(uint8_t* report, std::size_t length) override {
        return request(get_packet(GET_FEATURE, report[0], length), report, length);
    }

private:
    static std::vector<uint8_t> packet(Type type, const uint8_t* report, std::size_t length) {
        std::vector<uint8_t> p{type};
        p.insert(p.end(), report, report + std::min(length, max_packet - 1));
        return p;
    }
    static std::vector<uint8_t> get_packet(Type type, uint8_t id, std::size_t length) {
        const auto n = static_cast<uint16_t>(std::min<std::size_t>(length, 0xFFFF));
        return {type, id, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
    }

    // One request and its REPLY; `into` receives the report of a get.
    bool request(const std::vector<uint8_t>& p, uint8_t* into, std::size_t length) {
        std::lock_guard lock(control_m_);
        if (control_ < 0 || !send_packet(control_, p))
            return false;
        std::array<uint8_t, max_packet> reply{};
        const long n = receive_packet(control_, reply.data(), answer_timeout_ms);
        if (n < 2 || reply[0] != REPLY) {
            // A late answer would be taken for the next request's: stop using the connection.
            ::close(control_);
            control_ = -1;
            return false;
        }
        if (into)
            std::memcpy(into, reply.data() + 2, std::min(length, static_cast<std::size_t>(n - 2)));
        return reply[1] != 0;
    }

    int interrupt_;
    std::mutex control_m_;
    int control_;
};

} // namespace

std::string bus_dir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return {};
    std::string dir = std::string(runtime) + "/vhid";
    struct stat st {};
    // Another user's folder, or one others may write into, could hold devices that impersonate a unit.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return {};
    return dir;
}

bool owns(const std::string& path) {
    const std::string dir = bus_dir();
    return !dir.empty() && path.size() > dir.size() + 1 && path.compare(0, dir.size() + 1, dir + "/") == 0;
}

std::vector<std::string> list() {
    std::vector<std::string> names;
    const std::string dir = bus_dir();
    if (dir.empty())
        return {};
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            struct stat st {};
            const std::string path = dir + "/" + e->d_name;
            if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& n : names) {
        std::string path = dir;
        path += '/';
        path += n;
        paths.push_back(std::move(path));
    }
    return paths;
}

Facts probe(const std::string& path) {
    Facts f;
    Info info;
    const int fd = connect_as(path, ROLE_QUERY, info);
    if (fd < 0)
        return f;
    ::close(fd);
    f.found = true;
    f.read_write = (info.flags & FLAG_QUERY_ONLY) == 0;
    f.attributes = true;
    f.vendor = info.vendor;
    f.product = info.product;
    f.version = info.version;
    f.manufacturer = std::move(info.manufacturer);
    f.product_name = std::move(info.product_name);
    f.serial = std::move(info.serial);
    f.descriptor = std::move(info.descriptor);
    return f;
}

std::unique_ptr<Device> open(const std::string& path, bool read_write) {
    Info info;
    if (!read_write) {
        // A handle for queries only: the device must be there, but nothing moves through it.
        const int fd = connect_as(path, ROLE_QUERY, info);
        if (fd < 0)
            return nullptr;
        ::close(fd);
        return std::make_unique<VirtualDevice>(-1, -1);
    }
    const int interrupt = connect_as(path, ROLE_INTERRUPT, info);
    if (interrupt < 0)
        return nullptr;
    if ((info.flags & FLAG_QUERY_ONLY) != 0) {
        ::close(interrupt);
        return nullptr;
    }
    const int control = connect_as(path, ROLE_CONTROL, info);
    if (control < 0) {
        ::close(interrupt);
        return nullptr;
    }
    return std::make_unique<VirtualDevice>(interrupt, control);
}

} // namespace platform::vhid
