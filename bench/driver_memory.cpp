// Heap a driver object holds: bytes allocated minus bytes freed around
// creating it, its first cycle and its first 801 report, counted by the
// process's own allocator hooks. The first driver of a process also pays
// for one-time set-up (time zone, stream locale, function statics); the
// figure per object is taken from the drivers created after it.
#include "bench/bench_device.hpp"
#include "bench/heap_counter.hpp"

#include <malloc.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

using contract::command::kReportText;
constexpr int kDrivers = 32;

struct Held {
    long counted;  // usable bytes of the live blocks
    long arena;    // the allocator's own in-use figure, block headers included
};

Held held_now()
{
    const struct mallinfo2 info = mallinfo2();
    return {heap_count().held, static_cast<long>(info.uordblks)};
}

Held since(const Held& start)
{
    const Held now = held_now();
    return {now.counted - start.counted, now.arena - start.arena};
}

void print(const char* stage, const Held& h, int drivers)
{
    std::printf("  %-34s %8ld B counted  %8ld B in arena  (%d driver%s)\n", stage, h.counted / drivers,
                h.arena / drivers, drivers, drivers == 1 ? "" : "s, per driver");
}

// Creates `count` drivers on one shared unit and takes each through the
// three stages, printing the heap held after each.
std::vector<std::unique_ptr<BenchDevice>> measure(const std::shared_ptr<MemoryUnit>& unit, int count,
                                                  std::vector<char>& text)
{
    std::vector<std::unique_ptr<BenchDevice>> devices;
    devices.reserve(static_cast<std::size_t>(count));
    const Held start = held_now();
    for (int i = 0; i < count; ++i) devices.push_back(std::make_unique<BenchDevice>(unit, 7 + static_cast<unsigned>(i)));
    print("created", since(start), count);
    for (auto& d : devices) d->run_cycle();
    print("after its first cycle", since(start), count);
    for (auto& d : devices) {
        int length = 0;
        d->driver.DeviceIoControl(kReportText, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
    }
    print("after its first 801 (rebuild)", since(start), count);
    return devices;
}

}  // namespace

int main()
{
    std::vector<char> text(64 * 1024);
    const auto unit = make_bench_unit();
    std::printf("sizeof(QM4700RX2VA9) = %zu B (inside the heap block counted below)\n", sizeof(QM4700RX2VA9));

    std::vector<std::unique_ptr<BenchDevice>> first, later;
    {
        QuietStdout quiet;
        std::printf("first driver of the process:\n");
        first = measure(unit, 1, text);
        std::printf("%d more drivers:\n", kDrivers);
        later = measure(unit, kDrivers, text);
    }
    int length = 0;
    later.front()->driver.DeviceIoControl(kReportText, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
    std::printf("801 text: %d B\n", length);
    return 0;
}
