// What the frame gap after each answer costs a serial line: the polling
// chain's 45 reads through the host's link, rounds with the gap and without
// it taking turns, on a line whose far end answers at once (a pseudo-terminal
// pair with qmsim on it; see bench/rtu_gap.sh). Prints the milliseconds per
// cycle of each, and the gap's own share, 45 times 3.5 characters.
//
//   qm_rtu_gap --rtu DEVICE --baud B --cycles N [--rounds R]
#include "driver/polling_chain.hpp"
#include "host/libmodbus_link.hpp"

#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string device;
    long baud = 9600;
    long cycles = 0;
    long rounds = 3;
};

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char* value = argv[i + 1];
        if (arg == "--rtu") o.device = value;
        else if (arg == "--baud") o.baud = std::strtol(value, nullptr, 10);
        else if (arg == "--cycles") o.cycles = std::strtol(value, nullptr, 10);
        else if (arg == "--rounds") o.rounds = std::strtol(value, nullptr, 10);
        else return false;
    }
    return argc % 2 == 1 && !o.device.empty() && o.cycles > 0 && o.cycles <= 10000 && o.rounds > 0 &&
           o.rounds <= 100;
}

// Milliseconds per cycle over `cycles` cycles; negative when a read failed.
double time_cycles(ModbusLink& link, long cycles)
{
    uint8_t bits[MODBUS_MAX_READ_BITS];
    uint16_t registers[MODBUS_MAX_READ_REGISTERS];
    const auto start = Clock::now();
    for (long c = 0; c < cycles; ++c)
        for (const PollRead& read : kPollingChain) {
            const bool ok = read.kind == ReadKind::Bits ? link.read_bits(read.address, read.count, bits)
                                                        : link.read_registers(read.address, read.count, registers);
            if (!ok) {
                std::fprintf(stderr, "qm_rtu_gap: read %s at %d: %s\n", read.field, read.address,
                             link.failure().text().c_str());
                return -1;
            }
        }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / static_cast<double>(cycles);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: qm_rtu_gap --rtu DEVICE --baud B --cycles N [--rounds R]\n");
        return 2;
    }
    LinkSettings line;
    line.kind = LinkSettings::Kind::Rtu;
    line.device = o.device;
    line.baud = static_cast<int>(o.baud);
    line.timeout_ms = 1000;
    const std::size_t reads = kPollingChain.size();
    std::vector<double> with_gap, without_gap;
    for (long r = 0; r < o.rounds; ++r)
        for (const bool gap : {false, true}) {
            line.frame_silence = gap;
            const auto link = make_libmodbus_link(line);
            if (!link->open()) {
                std::fprintf(stderr, "qm_rtu_gap: %s\n", link->failure().text().c_str());
                return 1;
            }
            const double ms = time_cycles(*link, o.cycles);
            link->close();
            if (ms < 0) return 1;
            (gap ? with_gap : without_gap).push_back(ms);
        }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("%zu reads a cycle at %s, %ld cycles x %ld rounds\n", reads,
                line.framing_text().c_str(), o.cycles, o.rounds);
    std::printf("gap %.3f ms after each answer: %.1f ms a cycle by count\n", line.frame_silence_us() / 1000.0,
                static_cast<double>(reads) * line.frame_silence_us() / 1000.0);
    std::printf("without the gap: %.1f ms a cycle (median)\n", median(without_gap));
    std::printf("with the gap:    %.1f ms a cycle (median)\n", median(with_gap));
    std::printf("measured cost:   %.1f ms a cycle\n", median(with_gap) - median(without_gap));
    return 0;
}
