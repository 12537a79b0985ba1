// What can differ between the build machine and the gateway (32-bit MIPS,
// little-endian): pointer width, byte order, unaligned access to the packed
// record, and single-precision arithmetic. Run natively and under qemu-mipsel.
#include "driver/record.hpp"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <iostream>

namespace {

unsigned char pattern(std::size_t i) { return static_cast<unsigned char>(i * 7 + 3); }

uint16_t le16_at(const unsigned char* bytes, std::size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// The host hands the record over at whatever address its buffer has; an odd
// one is the case that traps on MIPS if a field is read as an aligned word.
class TargetRecord : public testing::Test {
protected:
    void SetUp() override
    {
        bytes = storage + 1;
        for (std::size_t i = 0; i < sizeof(QM4700RX2VA9_Data_t); ++i) bytes[i] = pattern(i);
        record = reinterpret_cast<const QM4700RX2VA9_Data_t*>(bytes);
    }

    alignas(8) unsigned char storage[sizeof(QM4700RX2VA9_Data_t) + 8];
    unsigned char* bytes = nullptr;
    const QM4700RX2VA9_Data_t* record = nullptr;
};

TEST_F(TargetRecord, KeepsItsStoredSize) { EXPECT_EQ(sizeof(QM4700RX2VA9_Data_t), 459u); }

TEST_F(TargetRecord, OddOffsetRegistersReadLowByteFirstFromAnOddAddress)
{
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(record) % 2, 1u);
    EXPECT_EQ(record->regs_720[0].value(), le16_at(bytes, 265));
    EXPECT_EQ(record->regs_257[1].value(), le16_at(bytes, 289));
    EXPECT_EQ(record->regs_256.value(), le16_at(bytes, 301));
    EXPECT_EQ(record->regs_2013.value(), le16_at(bytes, 377));
    EXPECT_EQ(record->regs_261[5].value(), le16_at(bytes, 450));
}

// Read into locals first: EXPECT_EQ takes its operands by reference, and a
// reference to a packed word is then read as an aligned one (a trap on MIPS).
TEST_F(TargetRecord, WordFieldsReadFromAnOddAddress)
{
    const uint32_t dev_id = record->dev_id;
    const uint16_t year = record->time.year;
    const uint32_t expected_id = static_cast<uint32_t>(pattern(0) | (pattern(1) << 8) | (pattern(2) << 16)) |
                                 (static_cast<uint32_t>(pattern(3)) << 24);
    EXPECT_EQ(dev_id, expected_id);
    EXPECT_EQ(year, le16_at(bytes, 452));
    EXPECT_EQ(record->time.second, pattern(458));
}

TEST(TargetPlatform, ReportsPointerWidthAndIsLittleEndian)
{
    std::cout << "pointer width: " << sizeof(void*) << " bytes\n";
    RecordProperty("pointer_bytes", static_cast<int>(sizeof(void*)));
    const uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    EXPECT_EQ(first, 1) << "the record's words and the 803 handle are stored low byte first";
#if defined(__mips__)
    EXPECT_EQ(sizeof(void*), 4u);
#endif
}

// A register in tenths is divided in single precision and then widened: the
// report carries the float's exact value, the same on every machine.
double tenths(unsigned raw)
{
    volatile float value = static_cast<float>(raw);  // divided at run time, on the machine's FPU
    return static_cast<double>(value / 10.0f);
}

TEST(TargetFloat, TenthsWidenToTheSameDoubles)
{
    EXPECT_EQ(tenths(234), 23.399999618530273);
    EXPECT_EQ(tenths(235), 23.5);
    EXPECT_EQ(tenths(65535), 6553.5);
}

TEST(TargetFloat, JsonWritesTheWidenedValuesAlike)
{
    Json::Value values(Json::arrayValue);
    values.append(tenths(234));
    values.append(tenths(235));
    EXPECT_EQ(Json::FastWriter().write(values), "[23.399999618530273,23.5]\n");
}

}  // namespace
