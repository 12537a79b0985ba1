// The record is a stored format: its bytes must not move.
#include "driver/QM4700RX2VA9.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

TEST(RecordLayout, RegistersAreStoredLowByteFirst)
{
    QM4700RX2VA9_Data_t record{};
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&record);
    bytes[16] = 0x34;
    bytes[17] = 0x12;
    EXPECT_EQ(record.regs_700[0].value(), 0x1234);
    bytes[287] = 0xCD;  // regs_257[0] sits at an odd offset
    bytes[288] = 0xAB;
    EXPECT_EQ(record.regs_257[0].value(), 0xABCD);
}

TEST(RecordLayout, TimeStampIsYearLittleEndianThenMonthToSecond)
{
    QM4700RX2VA9_Data_t record{};
    record.time = get_ttime(boost::posix_time::time_from_string("2024-05-06 07:08:09"));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    const unsigned char expected[] = {0xE8, 0x07, 0x05, 0x06, 0x07, 0x08, 0x09};
    EXPECT_EQ(std::memcmp(bytes + 452, expected, sizeof expected), 0);
}

TEST(RecordLayout, NewDriverHoldsAZeroRecordAndItsDefaults)
{
    std::unique_ptr<VDeviceInterface> device = std::make_unique<QM4700RX2VA9>();
    auto& driver = dynamic_cast<QM4700RX2VA9&>(*device);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&driver.data());
    for (int i = 0; i < 459; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(driver.mode(), 1);
    EXPECT_EQ(driver.control_result(), -1);
    EXPECT_EQ(driver.expected_value(), -1);
    EXPECT_EQ(driver.DeviceType(), "qm4700rx2va9");
    EXPECT_EQ(driver.line_speed(), 9600);
    EXPECT_EQ(driver.byte_setting(), 1);
    EXPECT_EQ(driver.data_ready(), 0);
}

}  // namespace

// A chain row is read off its field's name and size; a name that gives no
// read must come out refused (address -1), which the chain's compile-time
// check turns into an error.
TEST(RecordLayout, ChainRowsAreReadOffTheFieldName)
{
    struct Case {
        const char* field;
        std::size_t size;
        ReadKind kind;
        int address;
        int count;
    };
    const Case cases[] = {
        {"bits_256", 12, ReadKind::Bits, 256, 12},
        {"regs_1516", 16, ReadKind::Registers, 1516, 8},
        {"regs_0", 2, ReadKind::Registers, 0, 1},
        {"bits_", 1, ReadKind::Bits, -1, 0},
        {"regs_7a", 2, ReadKind::Bits, -1, 0},
        {"time", 7, ReadKind::Bits, -1, 0},
    };
    for (const Case& c : cases) {
        const PollRead read = polling_chain_detail::read_of_field(c.field, 40, c.size);
        EXPECT_EQ(read.address, c.address) << c.field;
        if (c.address < 0) continue;
        EXPECT_EQ(read.kind, c.kind) << c.field;
        EXPECT_EQ(read.count, c.count) << c.field;
        EXPECT_EQ(read.offset, 40u) << c.field;
    }
}
