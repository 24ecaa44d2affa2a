// rv390pkta-cli against the virtual unit: time from the program's start to the first request the unit
// receives, and `show` from start to exit. Medians of 30 runs; the goal is under 100 ms in the release build.
#include "sim/virtual_unit.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
using ms = std::chrono::duration<double, std::milli>;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir runtime; // a private bus, and the program's data beside it
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (runtime.path() + "/data").toLocal8Bit());
    QCoreApplication app(argc, argv);

    std::atomic<Clock::rep> first_request{0};
    VirtualUnit unit;
    unit.on_event = [&](const UnitEvent& e) {
        Clock::rep none = 0;
        if (e.kind == UnitEvent::Kind::command)
            first_request.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
    };
    if (!unit.plug()) {
        std::fprintf(stderr, "cli_bench: the virtual unit could not be plugged in: %s\n", unit.error().c_str());
        return 1;
    }
    std::vector<double> to_request, show;
    for (int run = 0; run < 30; ++run) {
        first_request = 0;
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        const auto t0 = Clock::now();
        p.start(QStringLiteral(RV390PKTA_CLI), {QStringLiteral("show")});
        if (!p.waitForFinished(10000) || p.exitCode() != 0) {
            std::fprintf(stderr, "cli_bench: show failed: %s\n", p.readAllStandardError().constData());
            return 1;
        }
        show.push_back(ms(Clock::now() - t0).count());
        to_request.push_back(ms(Clock::time_point(Clock::duration(first_request.load())) - t0).count());
    }
    std::printf("start to first request: median %.1f ms (min %.1f, max %.1f)\n", median(to_request),
                *std::min_element(to_request.begin(), to_request.end()),
                *std::max_element(to_request.begin(), to_request.end()));
    std::printf("show, start to exit:    median %.1f ms (min %.1f, max %.1f)\n", median(show),
                *std::min_element(show.begin(), show.end()), *std::max_element(show.begin(), show.end()));
    return 0;
}
