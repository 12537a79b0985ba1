// The store's cost per polling cycle: commits of one cycle's records
// (synchronous=FULL, so each is one WAL fsync), and the bytes a record takes
// in the file, indexes included.
//   qm_store_bench [CYCLES [RECORDS_PER_CYCLE [FOLDER]]]   default 2000 4 /tmp
// FOLDER should be on the disk the store will live on: the fsync is the cost.
#include "agent/store.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRecordBytes = 459;
constexpr int64_t kCycleMs = 5000;

agent::Cycle cycle_at(int64_t time_ms, int records)
{
    agent::Cycle cycle;
    cycle.time_ms = time_ms;
    for (int i = 0; i < records; ++i) {
        std::vector<unsigned char> body(kRecordBytes);
        for (int b = 0; b < kRecordBytes; ++b) body[b] = static_cast<unsigned char>((time_ms / kCycleMs) * 31 + b * 7 + i);
        cycle.records.push_back({"crac-" + std::to_string(i + 1), i + 1, i + 1, time_ms, "2026-12-8 18:0:0", true, 5156,
                                 std::move(body)});
    }
    return cycle;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv)
{
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int records = argc > 2 ? std::atoi(argv[2]) : 4;
    const std::string folder = argc > 3 ? argv[3] : "/tmp";
    if (cycles < 1 || records < 1) {
        std::fprintf(stderr, "usage: qm_store_bench [CYCLES [RECORDS_PER_CYCLE [FOLDER]]]\n");
        return 2;
    }
    const std::string path = folder + "/qm_store_bench." + std::to_string(getpid()) + ".db";

    std::vector<double> commit_ms;
    int64_t used = 0;
    {
        agent::StoreSettings settings;
        settings.site = "bench";
        agent::Store store(path, settings);
        const int64_t start_ms = 1796724000000;
        for (int i = 0; i < cycles; ++i) {
            const agent::Cycle cycle = cycle_at(start_ms + i * kCycleMs, records);
            const auto before = std::chrono::steady_clock::now();
            if (!store.commit_cycle(cycle).committed) return 1;
            commit_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
        }
        used = store.used_bytes();
    }
    const auto file = static_cast<int64_t>(std::filesystem::file_size(path));
    std::filesystem::remove(path);

    double total = 0;
    for (double ms : commit_ms) total += ms;
    const int64_t rows = int64_t{cycles} * records;
    std::printf("cycles %d of %d records, store in %s\n", cycles, records, folder.c_str());
    std::printf("commit: mean %.3f ms, median %.3f ms, p99 %.3f ms (%.0f commits/s)\n", total / cycles,
                percentile(commit_ms, 0.5), percentile(commit_ms, 0.99), cycles / (total / 1000.0));
    std::printf("file %lld bytes, in use %lld bytes: %.0f bytes per record\n", static_cast<long long>(file),
                static_cast<long long>(used), static_cast<double>(used) / static_cast<double>(rows));
    return 0;
}
