// The stand-in host's Modbus master against a real libmodbus slave on
// loopback: answers reach the driver through process()/process_payload.
#include "host/libmodbus_link.hpp"
#include "support/driver_harness.hpp"
#include "support/loopback_slave.hpp"

#include <gtest/gtest.h>

namespace {

class ModbusLinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        LinkSettings settings;
        settings.port = slave.port();
        settings.timeout_ms = 300;
        Json::Value config;
        config["link"] = link_settings_json(settings);
        ASSERT_EQ(h.driver.SPModbus::InitSetting(config), 0);
        for (int a = 0; a < 3000; ++a) slave.mapping()->tab_registers[a] = static_cast<uint16_t>(a * 3 + 1);
        slave.mapping()->tab_bits[276] = 1;
    }

    LoopbackSlave slave;
    DriverHarness h;
};

TEST_F(ModbusLinkTest, ACycleOverTcpFillsTheRecord)
{
    captured_stdout([&] { h.run_cycle(); });
    ASSERT_EQ(h.sink.published.size(), 1u) << h.driver.last_error();
    EXPECT_EQ(h.driver.data().regs_700[3].value(), 703 * 3 + 1);
    EXPECT_EQ(h.driver.data().regs_261[5].value(), 266 * 3 + 1);
    EXPECT_EQ(h.driver.data().bits_276, 1);
    EXPECT_EQ(slave.requests(), 45);
}

TEST_F(ModbusLinkTest, WriteAnswersAreTheUnitsEcho)
{
    const uint16_t value = 250;
    const uint16_t values[] = {11, 12, 13};
    h.driver.modbus_write_register(11, value);
    ASSERT_EQ(h.driver.process(), 1) << h.driver.last_error();
    EXPECT_EQ(h.driver.register_table()[0], 250);
    EXPECT_EQ(slave.mapping()->tab_registers[11], 250);

    h.driver.modbus_write_bit(276, 0);
    ASSERT_EQ(h.driver.process(), 1);
    EXPECT_EQ(h.driver.register_table()[0], 0);

    h.driver.modbus_write_registers(704, 3, values);
    ASSERT_EQ(h.driver.process(), 1);
    EXPECT_EQ(h.driver.register_table()[0], 16);
    EXPECT_EQ(h.driver.register_table()[1], 3);

    slave.corrupt_single_write_echo(true);
    h.driver.modbus_write_register(1, 500);
    ASSERT_EQ(h.driver.process(), 1);
    EXPECT_EQ(h.driver.register_table()[0], 501) << "the echo as sent, not as asked";
}

TEST_F(ModbusLinkTest, ALinkThatDropsIsReopenedAtTheNextRequest)
{
    h.driver.modbus_read_registers(700, 2);
    ASSERT_EQ(h.driver.process(), 1);
    slave.drop_connections();
    int failures = 0;
    std::string out = captured_stdout([&] {
        for (int attempt = 0; attempt < 3; ++attempt) {
            h.driver.modbus_read_registers(700, 2);
            if (h.driver.process() == 1) break;
            ++failures;
        }
    });
    EXPECT_LE(failures, 1) << h.driver.last_error();
    EXPECT_EQ(h.driver.register_table()[1], 701 * 3 + 1);
}

TEST(ModbusLinkErrors, ARefusedLinkReachesOnErrorWithItsAddress)
{
    DriverHarness h;
    Json::Value config;
    config["link"]["type"] = "tcp";
    config["link"]["port"] = 1;  // nothing listens there
    ASSERT_EQ(h.driver.SPModbus::InitSetting(config), 0);
    h.driver.modbus_read_registers(700, 1);
    const std::string out = captured_stdout([&] { EXPECT_EQ(h.driver.process(), -1); });
    EXPECT_EQ(out, "SPModbus get error\n");
    EXPECT_NE(h.driver.last_error().find("127.0.0.1:1"), std::string::npos) << h.driver.last_error();
    EXPECT_FALSE(h.driver.IsProcessing()) << "a failed request is dropped";
}

TEST(ModbusLinkErrors, BadLinkSettingsAreRefusedByName)
{
    DriverHarness h;
    Json::Value config;
    config["link"]["type"] = "rtu";
    EXPECT_EQ(h.driver.SPModbus::InitSetting(config), -1);
    EXPECT_NE(h.driver.last_error().find("device"), std::string::npos);
    config["link"]["device"] = "/dev/null";
    config["link"]["parity"] = "X";
    EXPECT_EQ(h.driver.SPModbus::InitSetting(config), -1);
    EXPECT_NE(h.driver.last_error().find("parity"), std::string::npos);
}

}  // namespace
