// Serving one virtual HID device: accepting connections, answering HELLO and control requests.
#include "sim/vhid_device.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vhid_protocol;

VirtualHidDevice::VirtualHidDevice(std::string name, Info info)
    : name_(std::move(name)), info_(std::move(info)) {}

VirtualHidDevice::~VirtualHidDevice() {
    unplug();
}

std::string VirtualHidDevice::bus_dir() {
    std::string dir = bus_folder();
    if (!dir.empty())
        ::mkdir(dir.c_str(), 0700);
    return dir;
}

bool VirtualHidDevice::plug() {
    if (plugged())
        return true;
    const std::string dir = bus_dir();
    if (dir.empty()) {
        error_ = "XDG_RUNTIME_DIR is not set: there is no folder for the virtual HID bus";
        return false;
    }
    path_ = dir + "/" + name_;
    // The socket is made ready under a private name beside the bus and then renamed into place. A host
    // sees the file appear (the library watches the folder) and connects at once: a file that did not
    // accept yet would count as a dead device, and no later event would say otherwise. The short
    // private name also lets a name too long for a socket address be used on the bus.
    static std::atomic<unsigned> staged{0};
    const std::string staging = dir + ".plugging";
    ::mkdir(staging.c_str(), 0700);
    const std::string ready = staging + "/" + std::to_string(::getpid()) + "-" + std::to_string(++staged);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (ready.size() >= sizeof addr.sun_path) {
        error_ = path_ + ": path too long for a socket";
        return false;
    }
    std::memcpy(addr.sun_path, ready.c_str(), ready.size() + 1);

    listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(ready.c_str()); // left by a process that died here with the same id
    int rc = ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::listen(listen_fd_, 16) == 0
                 ? ::renameat2(AT_FDCWD, ready.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE)
                 : -1;
    if (rc != 0 && errno == EEXIST) {
        // A file left by a device that died is taken over; a live device keeps its name. The file is
        // reached through a descriptor of it, as its name may not fit a socket address.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const int file = ::open(path_.c_str(), O_PATH | O_CLOEXEC);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        const std::string via = "/proc/self/fd/" + std::to_string(file);
        std::memcpy(to.sun_path, via.c_str(), via.size() + 1);
        const bool yes =
            file >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        if (file >= 0)
            ::close(file);
        ::close(probe);
        if (!yes)
            rc = ::rename(ready.c_str(), path_.c_str()); // replaces the dead file in one step
        else
            errno = EADDRINUSE;
    }
    if (rc != 0) {
        error_ = path_ + ": " +
                 (errno == EADDRINUSE ? "a device of that name is already plugged in"
                                      : std::string(std::strerror(errno)));
        ::close(listen_fd_);
        listen_fd_ = -1;
        ::unlink(ready.c_str());
        return false;
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stop_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void VirtualHidDevice::unplug() {
    if (!plugged())
        return;
    // The file goes first: a scan from now on does not list the device, whose answers are about to stop.
    ::unlink(path_.c_str());
    stop_ = true;
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    thread_.join();
    ::close(listen_fd_);
    listen_fd_ = -1;
    {
        std::lock_guard lock(m_);
        for (const Connection& c : connections_)
            ::close(c.fd);
        connections_.clear();
    }
    closed_.notify_all();
    ::close(wake_fd_);
    wake_fd_ = -1;
}

void VirtualHidDevice::send_input(const Report& report) {
    std::vector<uint8_t> packet{INPUT};
    packet.insert(packet.end(), report.begin(), report.end());
    std::lock_guard lock(m_);
    for (const Connection& c : connections_)
        if (c.role == ROLE_INTERRUPT)
            (void)::send(c.fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::size_t VirtualHidDevice::open_count() const {
    std::lock_guard lock(m_);
    std::size_t n = 0;
    for (const Connection& c : connections_)
        n += c.role == ROLE_INTERRUPT ? 1 : 0;
    return n;
}

bool VirtualHidDevice::wait_unconnected(std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_);
    return closed_.wait_for(lock, limit, [&] { return connections_.empty(); });
}

void VirtualHidDevice::serve() {
    std::array<uint8_t, max_packet> packet{};
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        {
            std::lock_guard lock(m_);
            for (const Connection& c : connections_)
                fds.push_back({c.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents != 0)
            break;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard lock(m_);
                connections_.push_back({fd, 0});
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            const ssize_t n = ::recv(fds[i].fd, packet.data(), packet.size(), MSG_DONTWAIT);
            if (n < 0 && errno == EAGAIN)
                continue;
            std::unique_lock lock(m_);
            auto it = std::find_if(connections_.begin(), connections_.end(),
                                   [&](const Connection& c) { return c.fd == fds[i].fd; });
            if (it == connections_.end())
                continue;
            if (n <= 0) {
                ::close(it->fd);
                connections_.erase(it);
                closed_.notify_all();
                continue;
            }
            Connection c = *it;
            lock.unlock();
            handle(c, packet.data(), static_cast<std::size_t>(n));
            lock.lock();
            it = std::find_if(connections_.begin(), connections_.end(),
                              [&](const Connection& x) { return x.fd == c.fd; });
            if (it == connections_.end())
                continue;
            if (c.role == 0xFF) { // refused or done: hang up
                ::close(it->fd);
                connections_.erase(it);
                closed_.notify_all();
            } else {
                it->role = c.role;
            }
        }
    }
}

HostPacket read_host_packet(uint8_t role, const uint8_t* p, std::size_t n) {
    HostPacket r;
    if (role == 0) {
        if (n < 2 || p[0] != HELLO) {
            r.kind = HostPacket::Kind::hang_up;
            return r;
        }
        r.kind = HostPacket::Kind::hello;
        r.role = p[1];
        return r;
    }
    if (n == 0)
        return r;
    switch (p[0]) {
    case OUTPUT:
        if (role == ROLE_INTERRUPT)
            r.kind = HostPacket::Kind::output;
        break;
    case SET_OUTPUT:
        r.kind = HostPacket::Kind::set_output;
        break;
    case SET_FEATURE:
        r.kind = HostPacket::Kind::set_feature;
        break;
    case GET_INPUT:
    case GET_FEATURE:
        r.kind = p[0] == GET_INPUT ? HostPacket::Kind::get_input : HostPacket::Kind::get_feature;
        r.sized = n >= 4;
        if (r.sized) {
            r.id = p[1];
            r.length = static_cast<uint16_t>(p[2] | p[3] << 8);
        }
        return r;
    default:
        break;
    }
    if (r.kind != HostPacket::Kind::ignored)
        r.body.assign(p + 1, p + n);
    return r;
}

void VirtualHidDevice::handle(Connection& c, const uint8_t* p, std::size_t n) {
    const HostPacket in = read_host_packet(c.role, p, n);
    switch (in.kind) {
    case HostPacket::Kind::hang_up:
        c.role = 0xFF;
        break;
    case HostPacket::Kind::hello: {
        const auto info = encode(info_);
        (void)::send(c.fd, info.data(), info.size(), MSG_NOSIGNAL);
        // A query ends with INFO, and a query-only device serves nothing else; the host still reads
        // the INFO after the hang-up.
        const bool query_only = (info_.flags & FLAG_QUERY_ONLY) != 0;
        c.role = (in.role == ROLE_QUERY || query_only) ? 0xFF : in.role;
        break;
    }
    case HostPacket::Kind::output:
        if (on_output)
            on_output(in.body);
        break;
    case HostPacket::Kind::set_output:
        reply(c.fd, on_set_output && on_set_output(in.body));
        break;
    case HostPacket::Kind::set_feature:
        reply(c.fd, on_set_feature && on_set_feature(in.body));
        break;
    case HostPacket::Kind::get_input:
    case HostPacket::Kind::get_feature: {
        const auto& get = in.kind == HostPacket::Kind::get_input ? on_get_input : on_get_feature;
        std::optional<Report> r;
        if (in.sized && get)
            r = get(in.id, in.length);
        reply(c.fd, r.has_value(), r);
        break;
    }
    case HostPacket::Kind::ignored:
        break;
    }
}

void VirtualHidDevice::reply(int fd, bool ok, const std::optional<Report>& report) {
    std::vector<uint8_t> packet{REPLY, static_cast<uint8_t>(ok ? 1 : 0)};
    if (report)
        packet.insert(packet.end(), report->begin(),
                      report->begin() +
                          static_cast<std::ptrdiff_t>(std::min(report->size(), max_packet - 2)));
    (void)::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
}
