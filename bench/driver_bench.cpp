// The driver's own cost on the stand-in host, per operation: a polling cycle
// through the in-memory unit, the report's rebuild and rendering, 803, and a
// control command with its answer. Every case counts its heap allocations.
#include "bench/bench_device.hpp"
#include "bench/heap_counter.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using contract::command::kReportHandle;
using contract::command::kReportText;
using contract::command::kTemperatureSetpoint;
constexpr int kReportCapacity = 64 * 1024;

// Allocations over the timed loop, per iteration.
class AllocationCounters {
public:
    AllocationCounters() : start_(heap_count()) {}
    void report(benchmark::State& state) const
    {
        const HeapCount end = heap_count();
        state.counters["new/op"] =
            benchmark::Counter(static_cast<double>(end.news - start_.news), benchmark::Counter::kAvgIterations);
        state.counters["malloc/op"] = benchmark::Counter(static_cast<double>(end.mallocs - start_.mallocs),
                                                         benchmark::Counter::kAvgIterations);
    }

private:
    HeapCount start_;
};

// A driver that has completed one cycle and rendered one report: what
// every later cycle starts from.
struct Warm {
    Warm()
    {
        device.run_cycle();
        render();
    }
    int render()
    {
        int length = 0;
        device.driver.DeviceIoControl(kReportText, nullptr, 0, text.data(), kReportCapacity, length);
        return length;
    }
    QuietStdout quiet;
    BenchDevice device;
    std::vector<char> text = std::vector<char>(kReportCapacity);
};

void BM_PollingCycle(benchmark::State& state)
{
    Warm w;
    AllocationCounters allocations;
    for (auto _ : state) w.device.run_cycle();
    allocations.report(state);
}
BENCHMARK(BM_PollingCycle);

// Steps 11 to 54 only: the reads before the one that completes the cycle.
void BM_PollingStepsBeforeCompletion(benchmark::State& state)
{
    Warm w;
    QM4700RX2VA9& d = w.device.driver;
    long news = 0, mallocs = 0;
    for (auto _ : state) {
        d.RefreshStatus();
        const HeapCount before = heap_count();
        while (d.poll_step() < kLastPollStep && d.IsProcessing()) d.process();
        const HeapCount after = heap_count();
        news += after.news - before.news;
        mallocs += after.mallocs - before.mallocs;
        state.PauseTiming();
        d.process();
        state.ResumeTiming();
    }
    state.counters["new/op"] = benchmark::Counter(static_cast<double>(news), benchmark::Counter::kAvgIterations);
    state.counters["malloc/op"] =
        benchmark::Counter(static_cast<double>(mallocs), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PollingStepsBeforeCompletion);

void BM_ReportRebuildAndRender801(benchmark::State& state)
{
    Warm w;
    AllocationCounters allocations;
    for (auto _ : state) {
        w.device.advance_cycle_time();
        benchmark::DoNotOptimize(w.render());
    }
    allocations.report(state);
    state.counters["bytes"] = w.render();
}
BENCHMARK(BM_ReportRebuildAndRender801);

void BM_ReportRender801Unchanged(benchmark::State& state)
{
    Warm w;
    AllocationCounters allocations;
    for (auto _ : state) benchmark::DoNotOptimize(w.render());
    allocations.report(state);
}
BENCHMARK(BM_ReportRender801Unchanged);

// 803 after a new cycle time: the rebuild alone, nothing rendered.
void BM_ReportRebuild803(benchmark::State& state)
{
    Warm w;
    AllocationCounters allocations;
    const void* document = nullptr;
    int length = 0;
    for (auto _ : state) {
        w.device.advance_cycle_time();
        w.device.driver.DeviceIoControl(kReportHandle, nullptr, 0, &document, sizeof document, length);
    }
    allocations.report(state);
    benchmark::DoNotOptimize(document);
}
BENCHMARK(BM_ReportRebuild803);

void BM_ReportHandle803Unchanged(benchmark::State& state)
{
    Warm w;
    AllocationCounters allocations;
    const void* document = nullptr;
    int length = 0;
    for (auto _ : state)
        w.device.driver.DeviceIoControl(kReportHandle, nullptr, 0, &document, sizeof document, length);
    allocations.report(state);
    benchmark::DoNotOptimize(document);
}
BENCHMARK(BM_ReportHandle803Unchanged);

// Return-air setpoint 25: the command, its one write, the unit's echo.
void BM_ControlSetpoint106(benchmark::State& state)
{
    Warm w;
    QM4700RX2VA9& d = w.device.driver;
    const unsigned char input[2] = {25, 0};
    AllocationCounters allocations;
    for (auto _ : state) {
        int length = 0;
        d.DeviceIoControl(kTemperatureSetpoint, input, sizeof input, nullptr, 0, length);
        while (d.IsProcessing()) d.process();
    }
    allocations.report(state);
    if (d.control_result() != contract::kControlConfirmed) state.SkipWithError("the setpoint was not confirmed");
}
BENCHMARK(BM_ControlSetpoint106);

}  // namespace

BENCHMARK_MAIN();
