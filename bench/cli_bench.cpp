// rv390pkta-cli against the virtual unit: time from the program's start to the first request the unit
// receives, and `show` from start to exit. Medians of 30 runs; the goal is under 100 ms in the release build.
// Then, with three units: `set --all` (every unit read and checked before any is written) against `set`
// on one unit, and how long an update takes to end after SIGTERM arrives during its first block (the
// unit asked out of its boot loader and seen back in its firmware); medians of 10 runs. Last, eight units
// whose link takes 1 ms a report, as the real one does: `update --all` of all of them at once against
// `update` of one; medians of 5 runs, goal at most 1.3 times.
#include "sim/update_file.h"
#include "sim/virtual_unit.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
using ms = std::chrono::duration<double, std::milli>;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs the program to its end; its time, or a negative number when it failed.
double timed_run(const QStringList& arguments, int expected_status = 0) {
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    const auto t0 = Clock::now();
    p.start(QStringLiteral(RV390PKTA_CLI), arguments);
    if (!p.waitForFinished(60000) || p.exitCode() != expected_status) {
        std::fprintf(stderr, "cli_bench: %s failed: %s\n", qPrintable(arguments.join(' ')),
                     p.readAllStandardError().constData());
        return -1;
    }
    return ms(Clock::now() - t0).count();
}

void print(const char* what, const std::vector<double>& v) {
    std::printf("%s median %.1f ms (min %.1f, max %.1f)\n", what, median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
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
        std::fprintf(stderr, "cli_bench: the virtual unit could not be plugged in: %s\n",
                     unit.error().c_str());
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

    // A rack of three.
    UnitOptions b, c;
    b.serial = "VU-0002";
    c.serial = "VU-0003";
    VirtualUnit second(b), third(c);
    std::atomic<qint64> updating{0};
    std::atomic<Clock::rep> signalled{0};
    second.on_event = [&](const UnitEvent& e) {
        Clock::rep none = 0;
        if (e.kind == UnitEvent::Kind::note && e.line.rfind("wrote", 0) == 0 && updating.load() > 0 &&
            signalled.compare_exchange_strong(none, Clock::now().time_since_epoch().count()))
            ::kill(static_cast<pid_t>(updating.load()), SIGTERM);
    };
    if (!second.plug() || !third.plug()) {
        std::fprintf(stderr, "cli_bench: the rack could not be plugged in\n");
        return 1;
    }
    std::vector<double> set_all, set_one, stop;
    for (int run = 0; run < 10; ++run) {
        const QString value = QStringLiteral("headroom=%1").arg(run + 1);
        set_all.push_back(timed_run({QStringLiteral("set"), QStringLiteral("--all"), value}));
        set_one.push_back(
            timed_run({QStringLiteral("set"), QStringLiteral("--unit"), QStringLiteral("VU-0002"),
                       QStringLiteral("headroom=%1").arg(run + 20)}));
    }
    std::vector<uint8_t> flash(20000, 0x5A);
    name_firmware_version(flash, 1, 4);
    const std::vector<uint8_t> file = make_update_file({"RV-390PKTA", 1, 4, flash, {}});
    QFile fw(runtime.filePath(QStringLiteral("fw.voku")));
    if (!fw.open(QIODevice::WriteOnly) ||
        fw.write(reinterpret_cast<const char*>(file.data()), static_cast<qint64>(file.size())) !=
            static_cast<qint64>(file.size()))
        return 1;
    fw.close();
    for (int run = 0; run < 10; ++run) {
        signalled = 0;
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        p.start(QStringLiteral(RV390PKTA_CLI),
                {QStringLiteral("update"), QStringLiteral("--unit"), QStringLiteral("VU-0002"),
                 QStringLiteral("--yes"), fw.fileName()});
        if (!p.waitForStarted())
            return 1;
        updating = p.processId();
        if (!p.waitForFinished(60000) || p.exitCode() != 128 + SIGTERM || signalled.load() == 0) {
            std::fprintf(stderr, "cli_bench: the stopped update ended with %d: %s\n", p.exitCode(),
                         p.readAllStandardError().constData());
            return 1;
        }
        updating = 0;
        stop.push_back(ms(Clock::now() - Clock::time_point(Clock::duration(signalled.load()))).count());
    }
    print("set --all, 3 units:     ", set_all);
    print("set, 1 unit:            ", set_one);
    print("update, SIGTERM to exit:", stop);

    // A rack of eight on a link as slow as the real one (1 ms a report): every unit at once against one.
    unit.unplug();
    second.unplug();
    third.unplug();
    std::vector<std::unique_ptr<VirtualUnit>> rack;
    for (int i = 1; i <= 8; ++i) {
        UnitOptions o;
        o.serial = "VU-R0" + std::to_string(i);
        o.restart_delay = std::chrono::milliseconds(50);
        o.faults.report_delay = std::chrono::milliseconds(1);
        rack.push_back(std::make_unique<VirtualUnit>(o));
        if (!rack.back()->plug()) {
            std::fprintf(stderr, "cli_bench: rack unit %d: %s\n", i, rack.back()->error().c_str());
            return 1;
        }
    }
    std::vector<double> update_one, update_all;
    const QStringList update{QStringLiteral("update"), QStringLiteral("--yes"),
                             QStringLiteral("--no-restore")};
    for (int run = 0; run < 5; ++run) {
        update_one.push_back(timed_run(
            update + QStringList{QStringLiteral("--unit"), QStringLiteral("VU-R01"), fw.fileName()}));
        update_all.push_back(timed_run(update + QStringList{QStringLiteral("--all"), fw.fileName()}));
    }
    if (*std::min_element(update_one.begin(), update_one.end()) < 0 ||
        *std::min_element(update_all.begin(), update_all.end()) < 0)
        return 1;
    print("update, 1 unit, 1 ms/report: ", update_one);
    print("update --all, 8 units:       ", update_all);
    std::printf("8 units against 1: %.2f times (goal at most 1.3)\n",
                median(update_all) / median(update_one));
    return 0;
}
