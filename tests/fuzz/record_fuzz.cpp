// Loads arbitrary records from the cache and asks for the report as text
// (801) and as a document (803) with arbitrary capacities, interleaved with
// polling cycles over a unit whose registers and bits the input sets.
// Documents handed out by 803 are copied and rendered again after the
// driver is gone, as a host that keeps them would. Buffers are allocated at
// exactly the size the driver is told.
//
// Input format, repeated: an operation byte, then its operands.
//   op % 6 == 0  cache load: length selector (bit 7: int16 LE length
//                follows; else the record's size), the record's bytes
//   op % 6 == 1  801 with capacity (int16 LE)
//   op % 6 == 2  803 with capacity (int16 LE)
//   op % 6 == 3  deliver up to N pending answers (N: 1 byte)
//   op % 6 == 4  RefreshStatus
//   op % 6 == 5  unit register (address, value: int16 LE each) and bit
//                (address int16 LE, value byte)
#include "tests/fuzz/fuzz_input.hpp"

#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kMaxOperations = 256;
constexpr std::size_t kMaxKeptDocuments = 4;
constexpr int kUnitAddresses = 2048;

template <typename T>
std::unique_ptr<T[]> exact_copy(const std::vector<T>& bytes)
{
    std::unique_ptr<T[]> copy(bytes.empty() ? nullptr : new T[bytes.size()]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

void load_from_cache(QM4700RX2VA9& driver, FuzzInput& in)
{
    const uint8_t selector = in.byte();
    const int length = (selector & 0x80) ? in.int16() : static_cast<int>(contract::kRecordSize);
    std::vector<uint8_t> record = in.bytes(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (length == static_cast<int>(contract::kRecordSize)) record.resize(contract::kRecordSize, 0);
    const auto copy = exact_copy(record);
    driver.LoadFromCache(copy.get(), length);
}

int report_command(QM4700RX2VA9& driver, int code, int capacity, std::vector<uint8_t>& output)
{
    output.clear();
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::unique_ptr<uint8_t[]> buffer(room ? new uint8_t[room] : nullptr);
    int returned = 0;
    const int result = driver.DeviceIoControl(code, nullptr, 0, buffer.get(), capacity, returned);
    if (result == 0 && returned > 0 && static_cast<std::size_t>(returned) <= room)
        output.assign(buffer.get(), buffer.get() + returned);
    return result;
}

void keep_document(const std::vector<uint8_t>& handle, std::vector<Json::Value>& kept)
{
    const Json::Value* document = nullptr;
    if (handle.size() != sizeof document || kept.size() >= kMaxKeptDocuments) return;
    std::memcpy(&document, handle.data(), sizeof document);
    kept.push_back(*document);
}

void set_unit(MemoryUnit& unit, FuzzInput& in)
{
    const int reg = static_cast<uint16_t>(in.int16()) % kUnitAddresses;
    unit.set_register(reg, static_cast<uint16_t>(in.int16()));
    const int bit = static_cast<uint16_t>(in.int16()) % kUnitAddresses;
    unit.set_coil(bit, in.byte() & 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::vector<Json::Value> kept;
    {
        FuzzedDriver fuzzed(3);
        QM4700RX2VA9& driver = fuzzed.driver;

        FuzzInput in(data, size);
        std::vector<uint8_t> output;
        for (int operations = 0; in.more() && operations < kMaxOperations; ++operations) {
            switch (in.byte() % 6) {
            case 0:
                load_from_cache(driver, in);
                break;
            case 1:
                report_command(driver, 801, in.int16(), output);
                break;
            case 2:
                if (report_command(driver, 803, in.int16(), output) == 0) keep_document(output, kept);
                break;
            case 3:
                for (int n = in.byte() % 64; n > 0 && driver.IsProcessing(); --n) driver.process();
                break;
            case 4:
                driver.RefreshStatus();
                break;
            case 5:
                set_unit(*fuzzed.unit, in);
                break;
            }
        }
    }
    for (const Json::Value& document : kept) Json::FastWriter().write(document);
    return 0;
}
