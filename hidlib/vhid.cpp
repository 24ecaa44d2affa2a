// The per-user virtual HID bus: devices served by programs over UNIX sockets (docs/virtual-hid-bus.md).
#include "hidlib/platform.h"
#include "hidlib/vhid_protocol.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::vhid {

using namespace vhid_protocol;
using Clock = std::chrono::steady_clock;

namespace {

// A device that takes longer than this over a control request or its INFO on opening is taken as broken.
constexpr int answer_timeout_ms = 1000;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

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

// A connected socket to the device at `path`, or -1. A path too long for a socket address is reached
// through a descriptor of the socket file, so every name the file system takes can be used.
int connect_to(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    int file = -1;
    std::string target = path;
    if (target.size() >= sizeof addr.sun_path) {
        file = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        target = file < 0 ? std::string() : "/proc/self/fd/" + std::to_string(file);
    }
    bool ok = false;
    if (!target.empty() && target.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, target.c_str(), target.size() + 1);
        int r;
        do
            r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        while (r < 0 && errno == EINTR);
        ok = r == 0;
    }
    if (file >= 0)
        ::close(file);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads the INFO that answers a HELLO; nothing when the packet is not one.
std::optional<Info> read_info(int fd, int timeout_ms) {
    std::array<uint8_t, max_packet> packet{};
    const long n = receive_packet(fd, packet.data(), timeout_ms);
    if (n <= 0)
        return std::nullopt;
    return decode_info(packet.data(), static_cast<std::size_t>(n));
}

// Connects in a role and reads the device's INFO within timeout_ms; the connection, or -1.
int connect_as(const std::string& path, Role role, Info& info, int timeout_ms) {
    const int fd = connect_to(path);
    if (fd < 0)
        return -1;
    if (send_packet(fd, {HELLO, role})) {
        if (auto got = read_info(fd, timeout_ms)) {
            info = std::move(*got);
            return fd;
        }
    }
    ::close(fd);
    return -1;
}

Facts facts_of(Info info) {
    Facts f;
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

// What the bus knows of one socket file. A device's description does not change while its socket
// lives, so it is asked once; a new socket file (another inode or change time) is a new device.
struct Known {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec ctime{};
    std::optional<Facts> facts; // described
    int waiting = -1;           // a query still waiting for its INFO
    Clock::time_point expires;  // when that query is given up
    bool refused = false;       // answered with something that is no description, or hung up

    bool same_file(const struct stat& st) const {
        return dev == st.st_dev && ino == st.st_ino && ctime.tv_sec == st.st_ctim.tv_sec &&
               ctime.tv_nsec == st.st_ctim.tv_nsec;
    }
    void drop_question() {
        if (waiting >= 0)
            ::close(waiting);
        waiting = -1;
    }
    // Gives the question up once its time is over; true when it did. The device stays known without a
    // description, so it is not asked again while its socket file stays.
    bool expire(Clock::time_point now) {
        if (waiting < 0 || now < expires)
            return false;
        drop_question();
        return true;
    }
};

// Questions kept open at once: a quarter of the descriptors the process may have, and no more than
// 256, so that devices that never answer cannot use up the host's descriptors.
std::size_t question_limit() {
    rlimit r{};
    const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &r) == 0 ? r.rlim_cur : 1024;
    return static_cast<std::size_t>(std::clamp<rlim_t>(soft / 4, 8, 256));
}

// Made on first use and freed when the library unloads (forget_devices): the module's initialisation
// starts the threads that use it before the file's own statics would be constructed.
std::mutex registry_m;
std::map<std::string, Known>* registry_known = nullptr;
// The last scan left new devices unasked, for want of room among the open questions.
bool registry_unasked = false;

std::map<std::string, Known>& known_devices() {
    if (registry_known == nullptr)
        registry_known = new std::map<std::string, Known>;
    return *registry_known;
}

// Takes in an answer waiting on k's question, if one has come; true when k became described.
bool take_answer(Known& k) {
    if (k.waiting < 0)
        return false;
    pollfd p{k.waiting, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1)
        return false;
    std::optional<Info> info = (p.revents & POLLIN) ? read_info(k.waiting, 0) : std::nullopt;
    k.drop_question();
    if (!info) {
        k.refused = true;
        return false;
    }
    k.facts = facts_of(std::move(*info));
    return true;
}

class VirtualDevice : public Device {
public:
    VirtualDevice(std::string path, int interrupt, int control)
        : path_(std::move(path)), interrupt_(interrupt), control_(control) {}
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
        return n <= 0 ? -1 : read_input_packet(packet.data(), static_cast<std::size_t>(n), buffer, size);
    }

    // What is queued stays readable; what the device sends from now on is refused.
    void freeze_input() override {
        if (interrupt_ >= 0)
            ::shutdown(interrupt_, SHUT_RD);
    }

    bool write(const uint8_t* report, std::size_t length, int timeout_ms) override {
        if (interrupt_ < 0 || length > max_packet - 1 || !wait_for(interrupt_, POLLOUT, timeout_ms))
            return false;
        return send_packet(interrupt_, packet(OUTPUT, report, length));
    }

    bool set_output(const uint8_t* report, std::size_t length) override {
        return request(packet(SET_OUTPUT, report, length), length, nullptr, 0);
    }
    bool get_input(uint8_t* report, std::size_t length) override {
        return request(get_packet(GET_INPUT, report[0], length), 0, report, length);
    }
    bool set_feature(const uint8_t* report, std::size_t length) override {
        return request(packet(SET_FEATURE, report, length), length, nullptr, 0);
    }
    bool get_feature(uint8_t* report, std::size_t length) override {
        return request(get_packet(GET_FEATURE, report[0], length), 0, report, length);
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

    // One request and its REPLY within the limit; `into` receives the report of a get. A report that
    // does not fit a packet is refused rather than sent cut short.
    bool request(const std::vector<uint8_t>& p, std::size_t sending, uint8_t* into, std::size_t length) {
        if (sending > max_packet - 1)
            return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(answer_timeout_ms);
        std::lock_guard lock(control_m_);
        if (control_ < 0 && interrupt_ >= 0) {
            // The connection of a request that ran late was dropped with its late answer: a new one
            // starts clean, so no answer is ever taken for the next request's.
            Info info;
            control_ = connect_as(path_, ROLE_CONTROL, info, remaining_ms(deadline));
        }
        if (control_ < 0 || !send_packet(control_, p))
            return false;
        std::array<uint8_t, max_packet> reply{};
        const long n = receive_packet(control_, reply.data(), remaining_ms(deadline));
        const std::optional<bool> ok =
            n < 0 ? std::nullopt : read_reply(reply.data(), static_cast<std::size_t>(n), into, length);
        if (!ok) {
            ::close(control_);
            control_ = -1;
            return false;
        }
        return *ok;
    }

    const std::string path_;
    int interrupt_;
    std::mutex control_m_;
    int control_;
};

} // namespace

std::string bus_dir() {
    const std::string dir = bus_folder();
    if (dir.empty())
        return {};
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
            if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode))
                names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& n : names)
        paths.push_back(dir + "/" + n);
    return paths;
}

std::vector<Facts> probe_all(const std::vector<std::string>& paths, int wait_ms) {
    std::lock_guard lock(registry_m);
    std::map<std::string, Known>& known = known_devices();
    std::map<std::string, Known> now;
    const auto started = Clock::now();
    std::size_t open_questions = 0;
    std::vector<std::pair<std::string, struct stat>> fresh;
    for (const std::string& path : paths) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        auto old = known.find(path);
        if (old == known.end() || !old->second.same_file(st)) {
            fresh.emplace_back(path, st);
            continue;
        }
        // A device that died, or is going, refuses connections: its description is not listed.
        if (old->second.facts) {
            const int alive = connect_to(path);
            if (alive < 0)
                continue;
            ::close(alive);
        }
        take_answer(old->second);
        old->second.expire(started);
        open_questions += old->second.waiting >= 0 ? 1 : 0;
        now[path] = std::move(old->second);
        old->second.waiting = -1; // moved
    }
    // New devices are asked while there is room among the open questions; the rest wait for a later
    // scan, which the device watcher asks for once older questions have been given up.
    const std::size_t limit = question_limit();
    registry_unasked = false;
    std::vector<Known*> asked;
    for (const auto& [path, st] : fresh) {
        if (open_questions >= limit) {
            registry_unasked = true;
            break;
        }
        // A socket that refuses connections belongs to a device that died: asked again next time.
        const int fd = connect_to(path);
        if (fd < 0 || !send_packet(fd, {HELLO, ROLE_QUERY})) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        Known& k = now[path];
        k.dev = st.st_dev;
        k.ino = st.st_ino;
        k.ctime = st.st_ctim;
        k.waiting = fd;
        asked.push_back(&k);
        ++open_questions;
    }
    // The new devices answer together, within the caller's wait (none: their answers come as device
    // changes).
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        for (Known* k : asked)
            take_answer(*k);
        std::vector<pollfd> fds;
        for (Known* k : asked)
            if (k->waiting >= 0)
                fds.push_back({k->waiting, POLLIN, 0});
        if (fds.empty() || wait_ms <= 0 || ::poll(fds.data(), fds.size(), remaining_ms(deadline)) <= 0)
            break;
    }
    // A question still open is kept a while for a late answer, then given up.
    const auto expires = Clock::now() + std::chrono::milliseconds(late_answer_ms);
    for (Known* k : asked)
        k->expires = expires;
    for (auto& [path, k] : known)
        k.drop_question(); // devices that went away
    known = std::move(now);

    std::vector<Facts> result;
    for (const std::string& path : paths) {
        auto k = known.find(path);
        result.push_back(k != known.end() && k->second.facts ? *k->second.facts : Facts{});
    }
    return result;
}

int next_expiry_ms() {
    std::lock_guard lock(registry_m);
    std::optional<Clock::time_point> first;
    for (const auto& [path, k] : known_devices())
        if (k.waiting >= 0 && (!first || k.expires < *first))
            first = k.expires;
    if (!first)
        return -1;
    // Rounded up, so that a wake-up never comes before the time and spins.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*first - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

bool expire_questions() {
    std::lock_guard lock(registry_m);
    const auto now = Clock::now();
    bool any = false;
    for (auto& [path, k] : known_devices())
        any |= k.expire(now);
    return any && registry_unasked;
}

std::vector<int> late_answer_fds() {
    std::lock_guard lock(registry_m);
    std::vector<int> fds;
    for (const auto& [path, k] : known_devices())
        if (k.waiting >= 0)
            fds.push_back(k.waiting);
    return fds;
}

bool collect_late_answers() {
    std::lock_guard lock(registry_m);
    bool any = false;
    for (auto& [path, k] : known_devices())
        any |= take_answer(k);
    return any;
}

void forget_devices() {
    std::lock_guard lock(registry_m);
    if (registry_known == nullptr)
        return;
    for (auto& [path, k] : *registry_known)
        k.drop_question();
    delete registry_known;
    registry_known = nullptr;
}

std::unique_ptr<Device> open(const std::string& path, bool read_write) {
    Info info;
    if (!read_write) {
        // A handle for queries only: the device must be there, but nothing moves through it.
        const int fd = connect_as(path, ROLE_QUERY, info, answer_timeout_ms);
        if (fd < 0)
            return nullptr;
        ::close(fd);
        return std::make_unique<VirtualDevice>(path, -1, -1);
    }
    const int interrupt = connect_as(path, ROLE_INTERRUPT, info, answer_timeout_ms);
    if (interrupt < 0)
        return nullptr;
    if ((info.flags & FLAG_QUERY_ONLY) != 0) {
        ::close(interrupt);
        return nullptr;
    }
    const int control = connect_as(path, ROLE_CONTROL, info, answer_timeout_ms);
    if (control < 0) {
        ::close(interrupt);
        return nullptr;
    }
    return std::make_unique<VirtualDevice>(path, interrupt, control);
}

} // namespace platform::vhid
