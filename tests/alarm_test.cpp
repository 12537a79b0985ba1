// The alarm catalogue's structure, and the reports a cycle makes from it.
#include "driver/catalogues/alarm_catalogue.hpp"
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace {

// ---------------------------------------------------------------- catalogue
// The code structure of the unit's two schemes, derived from the entry's
// position, checked against every row: a mistyped code or a shifted row fails.

std::string code(const char* prefix, int index, const char* suffix = "")
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%03d%s", prefix, index, suffix);
    return text;
}

std::string expected_mode1_code(int entry)
{
    static const std::map<int, std::string> special = {
        {17, code("602460601", 1)}, {87, code("602460601", 2)}, {19, code("602431C01", 1)},
        {21, code("602432501", 1)}, {24, code("602415101", 1)},
    };
    if (special.count(entry)) return special.at(entry);
    if (entry >= 25 && entry <= 28) return code("602431901", entry - 24);
    if (entry >= 49 && entry <= 56) return code("602431C01", entry - 48);
    // Prefix 602400101: 001..020 over entries 1..23, 014..063 over 29..86,
    // 065..157 over 88..180 (064 unused).
    if (entry <= 23) {
        int index = 0;
        for (int e = 1; e <= entry; ++e)
            if (e != 17 && e != 19 && e != 21) ++index;
        return code("602400101", index);
    }
    if (entry <= 86) return code("602400101", entry - 29 + 14 - (entry > 56 ? 8 : 0));
    return code("602400101", entry - 88 + 65);
}

std::string expected_mode2_code(int entry)
{
    if (entry == 17) return code("12083016", 1, "0");
    if (entry == 87) return code("12083016", 2, "0");
    if (entry == 21) return code("12083014", 1, "0");
    if (entry >= 25 && entry <= 28) return code("12083001", entry - 24, "0");
    int index = 0;
    for (int e = 1; e <= entry; ++e)
        if (e != 17 && e != 87 && e != 21 && !(e >= 25 && e <= 28)) ++index;
    return code("12083017", index, "0");
}

TEST(AlarmCatalogue, Mode1CodesFollowTheUnitsPrefixesAndIndexes)
{
    for (int entry = 1; entry <= 180; ++entry)
        EXPECT_EQ(kAlarmCatalogue[entry - 1].mode1_code, expected_mode1_code(entry)) << "entry " << entry;
}

TEST(AlarmCatalogue, Mode1HasEightCodesStandingForTwoEntriesAndSkips064)
{
    std::map<std::string, std::vector<int>> entries_by_code;
    for (int entry = 1; entry <= 180; ++entry)
        entries_by_code[kAlarmCatalogue[entry - 1].mode1_code].push_back(entry);
    std::map<std::string, std::vector<int>> shared;
    for (const auto& [c, entries] : entries_by_code)
        if (entries.size() > 1) shared[c] = entries;
    const std::map<std::string, std::vector<int>> expected = {
        {"602400101014", {14, 29}}, {"602400101015", {15, 30}}, {"602400101016", {16, 31}},
        {"602400101017", {18, 32}}, {"602400101018", {20, 33}}, {"602400101019", {22, 34}},
        {"602400101020", {23, 35}}, {"602431C01001", {19, 49}},
    };
    EXPECT_EQ(shared, expected);
    EXPECT_EQ(entries_by_code.count("602400101064"), 0u);
    int with_main_prefix = 0;
    for (const AlarmPoint& p : kAlarmCatalogue) with_main_prefix += std::string(p.mode1_code).rfind("602400101", 0) == 0;
    EXPECT_EQ(with_main_prefix, 163);
}

TEST(AlarmCatalogue, Mode2CodesCountPerPrefixAndAreAllDistinct)
{
    std::set<std::string> codes;
    for (int entry = 1; entry <= 180; ++entry) {
        const std::string c = kAlarmCatalogue[entry - 1].mode2_code;
        EXPECT_EQ(c, expected_mode2_code(entry)) << "entry " << entry;
        EXPECT_EQ(c.size(), 12u);
        codes.insert(c);
    }
    EXPECT_EQ(codes.size(), 180u);
    EXPECT_EQ(expected_mode2_code(180), "120830171730") << "173 entries carry 12083017";
}

TEST(AlarmCatalogue, SourcesAreTheAlarmBytesLessEighteenUnusedBits)
{
    std::set<std::size_t> sources;
    for (const AlarmPoint& p : kAlarmCatalogue) sources.insert(p.source);
    ASSERT_EQ(sources.size(), 180u);
    const std::size_t bits_0 = offsetof(QM4700RX2VA9_Data_t, bits_0);
    std::vector<int> unused;
    for (int i = 0; i < 195; ++i)
        if (!sources.count(bits_0 + i)) unused.push_back(i);
    EXPECT_EQ(unused, (std::vector<int>{96, 97, 98, 102, 103, 112, 113, 114, 128, 129, 130, 134, 135,
                                        144, 145, 146, 171, 185}));
    const std::size_t bits_656 = offsetof(QM4700RX2VA9_Data_t, bits_656);
    EXPECT_EQ(kAlarmCatalogue[177].source, bits_656);
    EXPECT_EQ(kAlarmCatalogue[179].source, bits_656 + 2);
}

TEST(AlarmCatalogue, CodeNamesDifferOnlyWhereTheUnitsSchemesRenameThePoint)
{
    std::vector<int> renamed;
    for (int entry = 1; entry <= 180; ++entry) {
        const AlarmPoint& p = kAlarmCatalogue[entry - 1];
        EXPECT_EQ(p.mode1_code_name == nullptr, p.mode2_code_name == nullptr) << entry;
        if (p.mode1_code_name) renamed.push_back(entry);
    }
    EXPECT_EQ(renamed, (std::vector<int>{17, 19, 21, 24, 25, 26, 27, 28, 49, 50, 51, 52, 53, 54, 55,
                                         56, 87}));
    EXPECT_STREQ(kAlarmCatalogue[100].alarm_name, "1#压缩机相电流过流 (中值)");
    EXPECT_STREQ(kAlarmCatalogue[97].alarm_name, "1#PFC-IGBT高温");
}

// ---------------------------------------------------------------- reports

class AlarmReports : public testing::Test {
protected:
    void set_mode(int mode)
    {
        Json::Value config;
        config["appSetting"]["b_mode"] = mode;
        captured_stdout([&] { h.driver.InitSetting(config); });
    }
    void complete_cycle()
    {
        h.sink.reports.clear();
        captured_stdout([&] { h.driver.RoundDone(); });
    }
    DriverHarness h;
};

TEST_F(AlarmReports, FirstReportWithoutAModeUsesScheme1)
{
    h.record().bits_0[0] = 1;
    complete_cycle();
    ASSERT_EQ(h.sink.reports.size(), 180u);
    const RecordedReport& r = h.sink.reports.front();
    EXPECT_EQ(r.level, 2);
    EXPECT_EQ(r.code, "602400101001");
    EXPECT_EQ(r.code2, "602400101001");
    EXPECT_EQ(r.code_name, "1#吸气温度故障");
    EXPECT_EQ(r.alarm_name, "1#吸气温度故障");
    EXPECT_TRUE(r.state);
    EXPECT_EQ(r.sequence, 1);
    EXPECT_EQ(r.counter_during_call, 2) << "the counter is advanced before the call";
}

TEST_F(AlarmReports, LastReportInMode2IsTheHumidifierHighWaterLevel)
{
    set_mode(2);
    h.record().bits_656[2] = 1;
    complete_cycle();
    ASSERT_EQ(h.sink.reports.size(), 180u);
    const RecordedReport& r = h.sink.reports.back();
    EXPECT_EQ(r.code, "120830171730");
    EXPECT_EQ(r.code2, "120830171730");
    EXPECT_EQ(r.code_name, "加湿器高水位");
    EXPECT_EQ(r.alarm_name, "加湿器高水位");
    EXPECT_TRUE(r.state);
    EXPECT_EQ(r.sequence, 180);
    EXPECT_EQ(h.driver.alarm_sequence(), 181);
}

TEST_F(AlarmReports, RenamedEntriesCarryTheirSchemesCodeName)
{
    h.record().bits_0[16] = 1;
    complete_cycle();
    EXPECT_EQ(h.sink.reports[16].code, "602460601001");
    EXPECT_EQ(h.sink.reports[16].code_name, "水浸告警");
    EXPECT_EQ(h.sink.reports[16].alarm_name, "水浸传感器告警");
    EXPECT_TRUE(h.sink.reports[16].state);
    EXPECT_EQ(h.sink.reports[16].sequence, 17);
    EXPECT_EQ(h.sink.reports[18].code, "602431C01001");
    EXPECT_EQ(h.sink.reports[18].code_name, "风机故障");
    EXPECT_EQ(h.sink.reports[18].alarm_name, "远程关机");

    set_mode(2);
    complete_cycle();
    EXPECT_EQ(h.sink.reports[16].code, "120830160010");
    EXPECT_EQ(h.sink.reports[16].code_name, "专用空调水浸告警");
    EXPECT_EQ(h.sink.reports[16].alarm_name, "水浸传感器告警");
    EXPECT_EQ(h.sink.reports[18].code, "120830170180");
    EXPECT_EQ(h.sink.reports[18].code_name, "远程关机");
}

TEST_F(AlarmReports, OtherModesReportNothingAndLeaveTheCounterAt1)
{
    for (int mode : {3, 0, 4, -1}) {
        set_mode(mode);
        complete_cycle();
        EXPECT_TRUE(h.sink.reports.empty()) << mode;
        EXPECT_EQ(h.driver.alarm_sequence(), 1) << mode;
    }
}

TEST_F(AlarmReports, StateIsWhetherTheSourceByteIsNonZero)
{
    complete_cycle();
    for (const RecordedReport& r : h.sink.reports) EXPECT_FALSE(r.state) << r.alarm_name;
    h.record().bits_0[0] = 1;
    h.record().bits_0[1] = 2;
    h.record().bits_0[194] = 255;
    complete_cycle();
    EXPECT_TRUE(h.sink.reports[0].state);
    EXPECT_TRUE(h.sink.reports[1].state);
    EXPECT_TRUE(h.sink.reports[176].state);
    EXPECT_FALSE(h.sink.reports[2].state);
}

TEST_F(AlarmReports, BytesWithoutAnEntryAndOtherFieldsChangeNoReport)
{
    complete_cycle();
    const auto before = h.sink.reports;
    for (int i : {96, 97, 98, 102, 103, 112, 113, 114, 128, 129, 130, 134, 135, 144, 145, 146, 171, 185})
        h.record().bits_0[i] = 1;
    h.record().bits_256[0] = 1;
    h.record().bits_512[0] = 1;
    h.record().bits_276 = 1;
    h.record().regs_700[0] = le_u16{{0xFF, 0xFF}};
    complete_cycle();
    ASSERT_EQ(h.sink.reports.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(h.sink.reports[i].state, before[i].state);
}

TEST_F(AlarmReports, TwoCyclesOfTheSameRecordReportIdentically)
{
    h.record().bits_0[40] = 1;
    complete_cycle();
    const auto first = h.sink.reports;
    complete_cycle();
    ASSERT_EQ(h.sink.reports.size(), first.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(h.sink.reports[i].sequence, i + 1);
        EXPECT_EQ(h.sink.reports[i].sequence, first[i].sequence);
        EXPECT_EQ(h.sink.reports[i].code, first[i].code);
        EXPECT_EQ(h.sink.reports[i].state, first[i].state);
    }
}

TEST_F(AlarmReports, SharedMode1CodesAreReportedForBothEntries)
{
    complete_cycle();
    EXPECT_EQ(h.sink.reports[13].code, "602400101014");
    EXPECT_EQ(h.sink.reports[28].code, "602400101014");
    EXPECT_EQ(h.sink.reports[13].alarm_name, "1#高压锁定");
    EXPECT_EQ(h.sink.reports[28].alarm_name, "1#氟泵过热报警");
}

TEST_F(AlarmReports, AnExceptionFromTheHostStopsTheWalkAtThatEntry)
{
    h.sink.report_hook = [](const ThresholdReport& r) {
        if (r.sequence == 40) throw std::runtime_error("host failure");
    };
    testing::internal::CaptureStdout();
    EXPECT_THROW(h.driver.RoundDone(), std::runtime_error);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(h.sink.reports.size(), 40u);
    EXPECT_EQ(h.driver.alarm_sequence(), 41);
}

// ---------------------------------------------------------------- host machinery

TEST_F(AlarmReports, TheHostRaisesAndClearsEachPointOnce)
{
    complete_cycle();
    EXPECT_TRUE(h.sink.transitions.empty()) << "inactive points raise nothing";
    h.record().bits_0[13] = 1;  // shares its mode 1 code with entry 29
    complete_cycle();
    complete_cycle();
    h.record().bits_0[13] = 0;
    h.record().bits_0[28] = 1;
    complete_cycle();
    const std::vector<std::pair<std::string, bool>> expected = {
        {"1#高压锁定", true}, {"1#高压锁定", false}, {"1#氟泵过热报警", true}};
    EXPECT_EQ(h.sink.transitions, expected);
}

}  // namespace
