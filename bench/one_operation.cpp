// Exactly one operation after a warm-up, for instruction counters: the
// operation runs inside qm_measured_operation, which
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=qm_measured_operation
// counts alone. Around it the program makes one getppid() system call on
// each side, so an emulator's trace can be cut at the same place.
#include "bench/bench_device.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using contract::command::kReportText;
using contract::command::kTemperatureSetpoint;
constexpr int kWarmUpCycles = 3;

enum class Operation { Cycle, Rebuild801, Render801, Control106 };

struct Subject {
    BenchDevice device;
    std::vector<char> text = std::vector<char>(64 * 1024);

    int render()
    {
        int length = 0;
        device.driver.DeviceIoControl(kReportText, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
        return length;
    }
    void control()
    {
        const unsigned char input[2] = {25, 0};
        int length = 0;
        device.driver.DeviceIoControl(kTemperatureSetpoint, input, sizeof input, nullptr, 0, length);
        while (device.driver.IsProcessing()) device.driver.process();
    }
};

void marker() { syscall(SYS_getppid); }

bool parse(const char* name, Operation& op)
{
    const struct {
        const char* name;
        Operation op;
    } names[] = {{"cycle", Operation::Cycle},
                 {"rebuild801", Operation::Rebuild801},
                 {"render801", Operation::Render801},
                 {"control106", Operation::Control106}};
    for (const auto& n : names)
        if (std::strcmp(name, n.name) == 0) {
            op = n.op;
            return true;
        }
    return false;
}

}  // namespace

extern "C" __attribute__((noinline)) void qm_measured_operation(Subject* s, Operation op)
{
    switch (op) {
    case Operation::Cycle:
        s->device.run_cycle();
        break;
    case Operation::Rebuild801:
        s->device.advance_cycle_time();
        s->render();
        break;
    case Operation::Render801:
        s->render();
        break;
    case Operation::Control106:
        s->control();
        break;
    }
    asm volatile("" ::: "memory");
}

int main(int argc, char** argv)
{
    Operation op;
    if (argc != 2 || !parse(argv[1], op)) {
        std::fprintf(stderr, "usage: qm_one_operation cycle|rebuild801|render801|control106\n");
        return 2;
    }
    QuietStdout quiet;
    Subject s;
    for (int i = 0; i < kWarmUpCycles; ++i) {
        s.device.run_cycle();
        s.device.advance_cycle_time();
        s.render();
        s.control();
    }
    marker();
    qm_measured_operation(&s, op);
    marker();
    return 0;
}
