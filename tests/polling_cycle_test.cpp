// A polling cycle through the in-memory unit: every answer lands in its
// field, the cycle completes once, and what the host receives, in order.
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The record's answer fields in storage order, with the request that fills
// each: kind, first address, count.
struct Field {
    const char* name;
    std::size_t offset;
    bool bits;
    int address;
    int count;
};
#define FIELD(name, bits, address, count) \
    Field { #name, offsetof(QM4700RX2VA9_Data_t, name), bits, address, count }
const Field kFields[] = {
    FIELD(bits_256, true, 256, 12),    FIELD(regs_700, false, 700, 14),
    FIELD(regs_1500, false, 1500, 4),  FIELD(regs_715, false, 715, 1),
    FIELD(regs_732, false, 732, 1),    FIELD(bits_0, true, 0, 195),
    FIELD(bits_656, true, 656, 3),     FIELD(regs_0, false, 0, 1),
    FIELD(regs_11, false, 11, 1),      FIELD(regs_1, false, 1, 1),
    FIELD(regs_13, false, 13, 1),      FIELD(bits_276, true, 276, 1),
    FIELD(bits_281, true, 281, 1),     FIELD(bits_277, true, 277, 1),
    FIELD(regs_720, false, 720, 9),    FIELD(regs_276, false, 276, 1),
    FIELD(regs_275, false, 275, 1),    FIELD(regs_257, false, 257, 2),
    FIELD(regs_274, false, 274, 1),    FIELD(regs_719, false, 719, 1),
    FIELD(regs_628, false, 628, 1),    FIELD(regs_259, false, 259, 2),
    FIELD(regs_256, false, 256, 1),    FIELD(regs_263, false, 263, 1),
    FIELD(regs_608, false, 608, 4),    FIELD(regs_615, false, 615, 3),
    FIELD(regs_770, false, 770, 3),    FIELD(regs_606, false, 606, 2),
    FIELD(regs_604, false, 604, 1),    FIELD(regs_400, false, 400, 4),
    FIELD(regs_730, false, 730, 2),    FIELD(regs_624, false, 624, 1),
    FIELD(regs_712, false, 712, 1),    FIELD(regs_750, false, 750, 1),
    FIELD(regs_754, false, 754, 5),    FIELD(regs_760, false, 760, 1),
    FIELD(regs_763, false, 763, 1),    FIELD(regs_2000, false, 2000, 1),
    FIELD(regs_2004, false, 2004, 5),  FIELD(regs_2010, false, 2010, 1),
    FIELD(regs_2013, false, 2013, 1),  FIELD(bits_512, true, 512, 15),
    FIELD(regs_127, false, 127, 15),   FIELD(regs_1516, false, 1516, 8),
    FIELD(regs_261, false, 261, 6),
};
#undef FIELD

uint16_t register_value(int address) { return static_cast<uint16_t>(address * 37 + 0x1101); }
uint8_t coil_value(int address) { return static_cast<uint8_t>((address * 7 / 3) % 2); }

void fill_unit(MemoryUnit& unit)
{
    for (int a = 0; a < 2100; ++a) {
        unit.set_register(a, register_value(a));
        unit.set_coil(a, coil_value(a));
    }
}

class PollingCycle : public testing::Test {
protected:
    void SetUp() override
    {
        fill_unit(*h.unit);
        h.unit->log_requests(true);
    }
    std::string run_cycle()
    {
        return captured_stdout([&] { h.run_cycle(); });
    }
    DriverHarness h;
};

TEST_F(PollingCycle, EveryAnswerLandsInItsFieldInChainOrder)
{
    run_cycle();
    ASSERT_EQ(sizeof kFields / sizeof kFields[0], 45u);
    ASSERT_EQ(h.unit->requests().size(), 45u);
    const unsigned char* record = h.record_bytes();
    for (std::size_t i = 0; i < 45; ++i) {
        const Field& f = kFields[i];
        const MemoryUnit::Request& r = h.unit->requests()[i];
        EXPECT_EQ(r.address, f.address) << f.name;
        EXPECT_EQ(r.count, f.count) << f.name;
        EXPECT_EQ(r.kind == MemoryUnit::Request::Kind::ReadBits, f.bits) << f.name;
        for (int k = 0; k < f.count; ++k) {
            if (f.bits) {
                EXPECT_EQ(record[f.offset + k], coil_value(f.address + k)) << f.name << "[" << k << "]";
            } else {
                const uint16_t v = register_value(f.address + k);
                EXPECT_EQ(record[f.offset + 2 * k], v & 0xFF) << f.name << "[" << k << "] low byte";
                EXPECT_EQ(record[f.offset + 2 * k + 1], v >> 8) << f.name << "[" << k << "] high byte";
            }
        }
    }
    uint32_t id = 0;
    std::memcpy(&id, record, 4);
    EXPECT_EQ(id, 0u) << "dev_id is the settings' business, not the cycle's";
}

TEST_F(PollingCycle, CompletionPublishesOnceThenEvaluatesChecksAndStores)
{
    h.driver.rule_vector().push_back(rule_value{"a", 1, 1.0f});
    h.driver.rule_vector().push_back(rule_value{"b", 1, 2.0f});
    h.sink.batch_result = true;
    const std::string out = run_cycle();

    ASSERT_EQ(h.sink.published.size(), 1u);
    EXPECT_EQ(h.sink.published_types[0], 5156);
    EXPECT_FALSE(h.sink.published_flags[0]);
    ASSERT_EQ(h.sink.published[0].size(), 459u);
    EXPECT_EQ(std::memcmp(h.sink.published[0].data(), h.record_bytes(), 459), 0);
    ASSERT_EQ(h.sink.history.size(), 1u);
    EXPECT_EQ(h.sink.history[0], h.sink.published[0]);

    ASSERT_GE(h.sink.events.size(), 3u);
    EXPECT_EQ(h.sink.events.front(), "SendSP");
    EXPECT_EQ(h.sink.events[h.sink.events.size() - 2], "BatchCheck");
    EXPECT_EQ(h.sink.events.back(), "SaveHistory");
    for (std::size_t i = 1; i + 2 < h.sink.events.size(); ++i) EXPECT_EQ(h.sink.events[i], "Report");

    EXPECT_EQ(h.sink.batch_rule_counts, std::vector<size_t>{2});
    EXPECT_NE(out.find("rvSize is 2\n"), std::string::npos) << out;
    EXPECT_TRUE(h.driver.rule_vector().empty());
    EXPECT_EQ(h.driver.threshold_result(), 1);
    EXPECT_EQ(h.driver.data_ready(), 1);
    EXPECT_EQ(h.driver.poll_step(), 55);
    EXPECT_GE(h.driver.reset_count(), 1u) << "the serial device returns to idle";
}

TEST_F(PollingCycle, TimeStampIsTheLocalTimeOfCompletion)
{
    using boost::posix_time::second_clock;
    const auto before = second_clock::local_time();
    run_cycle();
    const auto after = second_clock::local_time();
    const ttime& t = h.driver.data().time;
    const auto stamped = boost::posix_time::ptime(
        boost::gregorian::date(t.year, t.month, t.day),
        boost::posix_time::time_duration(t.hour, t.minute, t.second));
    EXPECT_LE(before, stamped);
    EXPECT_LE(stamped, after);
    EXPECT_EQ(stamped, h.driver.cycle_time());
    const unsigned char* bytes = h.record_bytes() + 452;
    EXPECT_EQ(bytes[0] | (bytes[1] << 8), t.year) << "year little-endian";
}

TEST_F(PollingCycle, AUnitGoingSilentPublishesNothingAndTheNextCycleStartsOver)
{
    h.unit->go_silent_after(20);
    const std::string out = run_cycle();
    EXPECT_EQ(out, "SPModbus get error\n");
    EXPECT_TRUE(h.sink.published.empty());
    EXPECT_EQ(h.driver.poll_step(), 31) << "the step of the unanswered read stays";
    EXPECT_EQ(h.driver.data_ready(), 0);

    h.unit->go_silent_after(-1);
    run_cycle();
    EXPECT_EQ(h.sink.published.size(), 1u);
    EXPECT_EQ(h.unit->requests().size(), 21u + 45u) << "the chain restarted at its first read";
}

TEST_F(PollingCycle, ALateAnswerAtStep55CompletesTheCycleAgain)
{
    run_cycle();
    h.unit->set_register(261, 0xBEEF);
    h.driver.modbus_read_registers(261, 6);
    captured_stdout([&] { h.driver.process(); });
    EXPECT_EQ(h.sink.published.size(), 2u);
    EXPECT_EQ(h.driver.data().regs_261[0].value(), 0xBEEF);
    EXPECT_EQ(h.driver.poll_step(), 55);
}

TEST_F(PollingCycle, StepsWithoutHandlingStoreAndSendNothing)
{
    run_cycle();
    const std::vector<unsigned char> before(h.record_bytes(), h.record_bytes() + 459);
    const long requests = h.unit->request_count();
    for (int step : {-1, 0, 10, 56, 99, 101, 103, 105, 107, 109, 111, 205, 207, 209, 211, 310, 320, 5000}) {
        h.driver.set_poll_step(step);
        EXPECT_EQ(h.driver.process_payload(SPModbus::TAB_REGISTERS, 1), 1) << step;
        EXPECT_FALSE(h.driver.IsProcessing()) << step;
        EXPECT_EQ(h.driver.poll_step(), step);
    }
    EXPECT_EQ(h.unit->request_count(), requests);
    EXPECT_EQ(h.sink.published.size(), 1u);
    EXPECT_EQ(h.driver.control_result(), -1);
    EXPECT_EQ(std::memcmp(before.data(), h.record_bytes(), 459), 0);
}

// ----------------------------------------------------------------- cache

class CacheReload : public testing::Test {
protected:
    DriverHarness h;
};

TEST_F(CacheReload, AWholeRecordIsAcceptedRestampedAndPublished)
{
    std::vector<unsigned char> cached(459);
    for (int i = 0; i < 459; ++i) cached[i] = static_cast<unsigned char>(i * 13 + 5);
    const std::string out = captured_stdout([&] {
        EXPECT_TRUE(h.driver.LoadFromCache(cached.data(), 459));
    });
    EXPECT_EQ(h.driver.data_ready(), 1);
    ASSERT_EQ(h.sink.published.size(), 1u);
    EXPECT_EQ(std::memcmp(h.sink.published[0].data(), cached.data(), 452), 0) << "dev_id included";
    const ttime now = get_ttime(h.driver.cycle_time());
    EXPECT_EQ(std::memcmp(h.sink.published[0].data() + 452, &now, 7), 0) << "stamped with the load time";
    EXPECT_EQ(h.sink.history.size(), 1u);
    EXPECT_NE(out.find("rvSize is 0"), std::string::npos);

    const std::string text(reinterpret_cast<const char*>(cached.data()), 459);
    captured_stdout([&] { EXPECT_TRUE(h.driver.LoadFromCache(text)); });
    EXPECT_EQ(h.sink.published.size(), 2u) << "the text form hands its bytes on";
}

TEST_F(CacheReload, AnyOtherLengthIsRefusedWithNothingChanged)
{
    const std::vector<unsigned char> cached(460, 0xAA);
    EXPECT_FALSE(h.driver.LoadFromCache(cached.data(), 458));
    EXPECT_FALSE(h.driver.LoadFromCache(cached.data(), 460));
    EXPECT_FALSE(h.driver.LoadFromCache(cached.data(), -459));
    EXPECT_FALSE(h.driver.LoadFromCache(nullptr, 459));
    EXPECT_FALSE(h.driver.LoadFromCache(std::string(458, 'x')));
    EXPECT_TRUE(h.sink.published.empty());
    EXPECT_EQ(h.driver.data_ready(), 0);
    EXPECT_TRUE(h.driver.cycle_time().is_not_a_date_time());
    for (int i = 0; i < 459; ++i) ASSERT_EQ(h.record_bytes()[i], 0);
}

}  // namespace
