// Cost of framing, reassembly and a mailbox round trip, and the worker's CPU use while idle.
#include "core/mailbox.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/crc.h"
#include "protocol/framing.h"
#include "protocol/reassembly.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <thread>

namespace {

void BM_FrameFlashBlock(benchmark::State& state) {
    std::vector<uint8_t> payload(516, 0x5A);
    while (state.KeepRunning()) {
        const auto message = build_message(cmd_write_flash, payload);
        unsigned reports = 0;
        cut_reports(message, [&](const Report& r) { reports += r[0]; });
        benchmark::DoNotOptimize(reports);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 521);
}
BENCHMARK(BM_FrameFlashBlock);

void BM_ReassembleSettingsReply(benchmark::State& state) {
    std::vector<uint8_t> payload(17, 3);
    const auto message = build_message(cmd_get_par, payload);
    THIDreport report{};
    report.ReportID = 1;
    std::copy(message.begin(), message.end(), report.Data + 4);
    Reassembler r;
    while (state.KeepRunning())
        benchmark::DoNotOptimize(r.feed(report));
}
BENCHMARK(BM_ReassembleSettingsReply);

void BM_MailboxRoundTrip(benchmark::State& state) {
    UiHandover ui;
    Mailbox box(ui);
    std::atomic<uint64_t> sent{0};
    std::thread worker([&] {
        box.serve([&](const Request&) {
            sent.fetch_add(1, std::memory_order_release);
            return true;
        });
    });
    uint64_t posted = 0;
    while (state.KeepRunning()) {
        box.post(Request{cmd_erase, {0, 0}});
        ++posted;
        while (sent.load(std::memory_order_acquire) < posted) // measuring latency: spin on purpose
            ;
    }
    box.stop();
    worker.join();
}
BENCHMARK(BM_MailboxRoundTrip)->UseRealTime();

// CPU time the worker uses per second of idling: it should block, not poll.
void BM_IdleWorkerCpu(benchmark::State& state) {
    while (state.KeepRunning()) {
        UiHandover ui;
        Mailbox box(ui);
        timespec cpu{};
        std::thread worker([&] {
            box.serve([](const Request&) { return true; });
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the idle span being measured
        box.stop();
        worker.join();
        state.counters["worker_cpu_us_per_s"] =
            (static_cast<double>(cpu.tv_sec) * 1e6 + static_cast<double>(cpu.tv_nsec) / 1e3) * 2;
    }
}
BENCHMARK(BM_IdleWorkerCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
