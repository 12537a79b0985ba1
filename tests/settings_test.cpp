// The device settings: "appSetting"/"b_mode" and, in mode 3, the threshold
// entries, with the lines the driver writes while reading them.
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

Json::Value parse(const std::string& text)
{
    Json::Value v;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

class Settings : public testing::Test {
protected:
    std::string init(const std::string& json)
    {
        return captured_stdout([&] { result = h.driver.InitSetting(parse(json)); });
    }
    DriverHarness h{4242};
    int result = -99;
};

TEST_F(Settings, ModeIsTheAtoiOfTheMembersText)
{
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": "2"}})"), "InitSetting 4242 b_mode_:2\n");
    EXPECT_EQ(h.driver.mode(), 2);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": 2}})"), "InitSetting 4242 b_mode_:2\n");
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": "abc"}})"), "InitSetting 4242 b_mode_:0\n");
    EXPECT_EQ(h.driver.mode(), 0);
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": " -7x"}})"), "InitSetting 4242 b_mode_:-7\n");
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": true}})"), "InitSetting 4242 b_mode_:0\n")
        << "jsoncpp's text of true has no digits";
}

TEST_F(Settings, ModeStaysWithoutAUsableAppSetting)
{
    EXPECT_EQ(init(R"({})"), "");
    EXPECT_EQ(init(R"({"appSetting": 3})"), "");
    EXPECT_EQ(init(R"({"appSetting": {"other": 1}})"), "");
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": null}})"), "");
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": [2]}})"), "") << "an array has no text";
    EXPECT_EQ(init(R"([1, 2])"), "") << "a configuration that is not an object";
    EXPECT_EQ(h.driver.mode(), 1);
}

TEST_F(Settings, DeviceIdIsCopiedIntoTheRecord)
{
    init("{}");
    uint32_t id = 0;
    std::memcpy(&id, h.record_bytes(), 4);
    EXPECT_EQ(id, 4242u);
    EXPECT_EQ(h.record_bytes()[0], 4242 & 0xFF) << "little-endian";
}

TEST_F(Settings, ThresholdSettingIsIgnoredOutsideMode3)
{
    for (const char* mode : {"1", "2"}) {
        const std::string out = init(std::string(R"({"appSetting": {"b_mode": )") + mode +
                                     R"(}, "thresholdSetting": {"k": {"NMAlarmID": "1"}}})");
        EXPECT_EQ(out, std::string("InitSetting 4242 b_mode_:") + mode + "\n");
    }
    EXPECT_TRUE(h.driver.alarm_ids().empty());
}

TEST_F(Settings, Mode3WithoutThresholdSettingOnlySaysHere1)
{
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": 3}})"), "InitSetting 4242 b_mode_:3\nhere 1\n");
}

TEST_F(Settings, AThresholdEntryIsComposedAndLoggedWithMissingParts)
{
    h.driver.level_map()["k"] = 5;
    const std::string out = init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
        "k": {"SignalName": "a", "NMAlarmID": 1, "SignalNumber": "3"},
        "j": {"NMAlarmID": "x", "ID": "y", "SignalNumber": "z"}}})");
    EXPECT_EQ(out,
              "InitSetting 4242 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here j\n"
              "mobile:j:x;y;z; level:0 value:0\n"
              "here k\n"
              "4242 ID is missing\n"
              "mobile:k:1;;3; level:5 value:0\n");
    EXPECT_EQ(h.driver.alarm_ids().at("k"), "1;;3;");
    EXPECT_EQ(h.driver.alarm_ids().at("j"), "x;y;z;");
    EXPECT_EQ(h.driver.signal_names().at("k"), "a");
    EXPECT_EQ(h.driver.signal_names().count("j"), 0u);
    EXPECT_EQ(h.driver.level_map().count("j"), 1u) << "looking a key up inserts it";
    EXPECT_EQ(h.driver.value_map().count("k"), 1u);
}

TEST_F(Settings, AnEntryWithNothingGivesThreeMissingLines)
{
    const std::string out =
        init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"e": {"ID": null}}})");
    EXPECT_NE(out.find("4242 NMAlarmID is missing\n4242 ID is missing\n4242 SignalNumber is missing\n"
                       "mobile:e:;;; level:0 value:0\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(h.driver.alarm_ids().at("e"), ";;;");
}

TEST_F(Settings, NonObjectThresholdSettingsAndEntriesAreSkipped)
{
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": "text"})"),
              "InitSetting 4242 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{"ID": "1"}]})"),
              "InitSetting 4242 b_mode_:3\nhere 1\nhere 2\n")
        << "an array has no named entries; nothing is thrown into the host";
    EXPECT_EQ(init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"n": 5}})"),
              "InitSetting 4242 b_mode_:3\nhere 1\nhere 2\nhere n\n");
    EXPECT_TRUE(h.driver.alarm_ids().empty());
    EXPECT_EQ(result, 0);
}

TEST_F(Settings, ARepeatedInitSettingReplacesFoundKeysAndKeepsOthers)
{
    init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"a": {"ID": "1"}, "b": {"ID": "2"}}})");
    init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"a": {"ID": "9"}}})");
    EXPECT_EQ(h.driver.alarm_ids().at("a"), ";9;;");
    EXPECT_EQ(h.driver.alarm_ids().at("b"), ";2;;");
}

TEST_F(Settings, TheHostsOwnSettingsAreReadAfterTheDevices)
{
    init(R"({"appSetting": {"b_mode": 2}, "link": {"type": "serial"}})");
    EXPECT_EQ(result, -1) << "the host refuses a bad link";
    EXPECT_EQ(h.driver.mode(), 2) << "the device's settings were read first";
}

}  // namespace
