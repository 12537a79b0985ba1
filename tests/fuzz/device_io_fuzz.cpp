// Drives DeviceIoControl with arbitrary codes, inputs, lengths and
// capacities, interleaved with the unit's answers and cycle starts, on a
// driver over the in-memory unit. Buffers are allocated at exactly the size
// the driver is told, so any read or write past them is caught.
//
// Input format, repeated: an operation byte, then its operands.
//   op % 4 == 0  command: code selector, flags, capacity (int16 LE),
//                input length (1 byte; 0xFF: all bytes left), input bytes
//   op % 4 == 1  deliver up to N pending answers (N: 1 byte)
//   op % 4 == 2  RefreshStatus
//   op % 4 == 3  unit faults: echo override byte (0xFF: off), silence byte
#include "tests/fuzz/fuzz_input.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const int kCodes[] = {100, 102, 106, 110, 206, 210, 310, 320, 801, 803, 0, 1, 555, -1};
constexpr std::size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

void run_command(QM4700RX2VA9& driver, FuzzInput& in)
{
    const uint8_t selector = in.byte();
    const int code = selector >= 0xF0 ? in.int16() : kCodes[selector % kCodeCount];
    const uint8_t flags = in.byte();
    const int capacity = in.int16();
    // Texts longer than a byte's count reach the JSON parser's depth limit.
    const uint8_t length = in.byte();
    std::vector<uint8_t> input = in.bytes(length == 0xFF ? in.left() : length);

    // Exactly-sized heap copies: nothing past them belongs to the driver.
    std::unique_ptr<uint8_t[]> input_copy(input.empty() ? nullptr : new uint8_t[input.size()]);
    if (!input.empty()) std::memcpy(input_copy.get(), input.data(), input.size());
    const void* input_ptr = (flags & 1) ? nullptr : input_copy.get();
    int input_length = static_cast<int>(input.size());
    if (flags & 2) input_length = -input_length - 1;
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::unique_ptr<uint8_t[]> output(room ? new uint8_t[room] : nullptr);
    void* output_ptr = (flags & 4) ? nullptr : output.get();

    int returned = 0;
    driver.DeviceIoControl(code, input_ptr, input_length, output_ptr, capacity, returned);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzedDriver fuzzed(1);
    QM4700RX2VA9& driver = fuzzed.driver;

    FuzzInput in(data, size);
    for (int operations = 0; in.more() && operations < 256; ++operations) {
        switch (in.byte() % 4) {
        case 0:
            run_command(driver, in);
            break;
        case 1:
            for (int n = in.byte() % 64; n > 0 && driver.IsProcessing(); --n) driver.process();
            break;
        case 2:
            driver.RefreshStatus();
            break;
        case 3: {
            const uint8_t echo = in.byte();
            fuzzed.unit->set_echo_override(echo == 0xFF ? -1 : echo);
            const uint8_t silence = in.byte();
            fuzzed.unit->go_silent_after(silence == 0 ? -1 : fuzzed.unit->request_count() + silence);
            break;
        }
        }
    }
    return 0;
}
