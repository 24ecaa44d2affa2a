// rv390pkta-cli serve --ember with one virtual unit and a consumer played with our own codec: the time
// from a consumer's new value to the unit holding it, and from a change on the unit to the consumer
// hearing of it; medians and 99th percentiles over 200 changes each. Goals: a set within 20 ms, a
// change within one poll (200 ms) and 20 ms.
#include "ember/glow.h"
#include "ember/s101.h"
#include "sim/virtual_unit.h"
#include "tests/support/program.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
using ms = std::chrono::duration<double, std::milli>;
const glow::Path headroom{1, 1, 9}; // the first unit's headroom

void report(const char* what, std::vector<double> v, double goal) {
    std::sort(v.begin(), v.end());
    const double median = v[v.size() / 2], p99 = v[v.size() * 99 / 100];
    std::printf("%s median %.1f ms, p99 %.1f ms, max %.1f ms (goal: p99 within %.0f ms)%s\n", what, median, p99,
                v.back(), goal, p99 <= goal ? "" : "  ** over the goal **");
}

// A consumer on a plain socket: requests out, the provider's elements in (read as requests are, since
// an announced value has a set's shape).
class Consumer {
public:
    explicit Consumer(quint16 port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Consumer() { ::close(fd_); }
    bool ok() const { return ok_; }
    void send(glow::RootWriter& w) {
        const QByteArray bytes = s101::frame(w.finish());
        ok_ = ok_ && ::send(fd_, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // Waits for an element at `path` (any value when `value` is empty); false after 5 s or on a fault.
    bool wait_for(const glow::Path& path, std::optional<int64_t> value = std::nullopt) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (ok_) {
            for (const s101::Message& m : messages_) {
                std::vector<glow::Request> elements;
                QString error;
                if (m.kind == s101::Message::Kind::ember && glow::decode_requests(m.glow, elements, error))
                    for (const glow::Request& e : elements)
                        if (e.path == path && (!value || e.value == glow::Value(*value))) {
                            messages_.clear();
                            return true;
                        }
            }
            messages_.clear();
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                return false;
            char buffer[65536];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            QString error;
            ok_ = n > 0 && reader_.feed(QByteArrayView(buffer, n), messages_, error);
        }
        return false;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    s101::Reader reader_;
    std::vector<s101::Message> messages_;
};
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir runtime; // a private bus
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    VirtualUnit unit;
    if (!unit.plug()) {
        std::fprintf(stderr, "ember_bench: the virtual unit could not be plugged in: %s\n", unit.error().c_str());
        return 1;
    }
    RunningProgram serve(QStringLiteral(RV390PKTA_CLI), {"serve", "--ember", "127.0.0.1:0"});
    quint16 port = 0;
    while (const std::optional<QByteArray> line = serve.read_line(std::chrono::seconds(10))) {
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("слушает [^ ]*:(\\d+)")).match(QString::fromUtf8(*line));
        if (m.hasMatch()) {
            port = quint16(m.captured(1).toUInt());
            break;
        }
    }
    Consumer consumer(port);
    glow::RootWriter ask;
    ask.command({}, glow::CommandNumber::get_directory);
    ask.command({1, 1}, glow::CommandNumber::get_directory);
    consumer.send(ask);
    if (port == 0 || !consumer.wait_for(headroom)) {
        std::fprintf(stderr, "ember_bench: the provider did not answer\n");
        return 1;
    }
    std::vector<double> set, change;
    for (int i = 0; i < 200; ++i) {
        const int v = 1 + i % 30; // never the unit's 10 twice in a row
        const auto t0 = Clock::now();
        glow::RootWriter w;
        glow::ParameterContents c;
        c.value = int64_t(v);
        w.parameter(headroom, c);
        consumer.send(w);
        while (unit.settings()[13] != v)
            if (!unit.wait_for_commands(unit.command_count() + 1, std::chrono::seconds(5)))
                return 1;
        set.push_back(ms(Clock::now() - t0).count());
        if (!consumer.wait_for(headroom, v)) // the provider's own announcement of it
            return 1;
    }
    for (int i = 0; i < 200; ++i) {
        TparBytes block = unit.settings();
        block[13] = uint8_t(1 + (block[13] % 30));
        const auto t0 = Clock::now();
        unit.set_settings(block);
        if (!consumer.wait_for(headroom, block[13])) {
            std::fprintf(stderr, "ember_bench: change %d did not reach the consumer\n", i);
            return 1;
        }
        change.push_back(ms(Clock::now() - t0).count());
    }
    report("consumer's set to the unit's block:", set, 20);
    report("unit's change to the consumer:     ", change, 220);
    serve.signal(SIGTERM);
    serve.finish();
    return 0;
}
