// qmhost's readable values, its own times and its control exit statuses.
#include "hosting/control_outcome.hpp"
#include "hosting/local_time.hpp"
#include "tools/qmhost/report_values.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

TEST(ReportValues, NumbersAsTheUnitMeansThem)
{
    Json::Value report(Json::objectValue);
    report["回风温度设定"] = static_cast<double>(234.0f / 10.0f);  // as the driver stores tenths
    report["2#低压压力"] = static_cast<double>(65535.0f / 10.0f);
    report["加湿电流"] = 712.0;
    report["有功总电量"] = 145;
    report["开关机"] = "开机";
    report["回风高温告警"] = "告警";
    const struct {
        const char* member;
        const char* shown;
    } cases[] = {
        {"回风温度设定", "23.4"}, {"2#低压压力", "6553.5"}, {"加湿电流", "712"},   {"有功总电量", "145"},
        {"开关机", "开机"},       {"回风高温告警", "告警"}, {"回风湿度", "?"},
    };
    for (const auto& c : cases) EXPECT_EQ(member_value_text(report, c.member), c.shown) << c.member;
    EXPECT_EQ(member_value_text(Json::Value(), "开关机"), "?");
}

TEST(ReportValues, TimesAsTheReportWritesThem)
{
    EXPECT_EQ(report_time_text(ttime{2024, 5, 6, 7, 8, 9}), "2024-5-6 7:8:9");
    EXPECT_EQ(report_time_text(ttime{2025, 12, 31, 23, 59, 58}), "2025-12-31 23:59:58");
}

// POSIX zone rules, so that no zone database is needed.
TEST(LocalTime, Iso8601WithTheZonesOffsetAtThatMoment)
{
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    const struct {
        const char* zone;
        const char* local;
        const char* shown;
    } cases[] = {
        {"UTC0", "2026-12-08 10:02:17", "2026-12-08T10:02:17+00:00"},
        {"CST-8", "2026-12-08 10:02:17", "2026-12-08T10:02:17+08:00"},
        {"IST-5:30", "2026-01-02 03:04:05", "2026-01-02T03:04:05+05:30"},
        {"EST5EDT,M3.2.0,M11.1.0", "2026-07-01 12:00:00", "2026-07-01T12:00:00-04:00"},
        {"EST5EDT,M3.2.0,M11.1.0", "2026-12-31 23:59:59", "2026-12-31T23:59:59-05:00"},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(iso8601_local(boost::posix_time::time_from_string(c.local)), c.shown) << c.zone;
    }
    if (saved) setenv("TZ", before.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(ReportValues, MembersAreTheReportsOwn)
{
    EXPECT_TRUE(is_report_member("更新时间"));
    EXPECT_TRUE(is_report_member("回风高温告警"));
    EXPECT_FALSE(is_report_member("AlertArray"));
    EXPECT_FALSE(is_report_member("回风温度"));
}

TEST(ControlExit, TheUnitsAnswerDecides)
{
    const LinkFailure timed_out{LinkFailure::Kind::NoAnswer, 0, "write at 11", "no answer"};
    // Statuses as numbers: the README documents them.
    const struct {
        bool wrote;
        std::optional<LinkFailure> write_failure;
        std::optional<int32_t> outcome;
        int status;
    } cases[] = {
        {true, std::nullopt, 1, 0},  {true, std::nullopt, 3, 3},
        {true, std::nullopt, -1, 4}, {true, timed_out, -1, 4},
        {false, std::nullopt, -1, 2}, {true, std::nullopt, std::nullopt, 1},
        {true, std::nullopt, 7, 1},
    };
    for (const auto& c : cases) {
        ControlResult result;
        result.wrote = c.wrote;
        result.write_failure = c.write_failure;
        result.outcome = c.outcome;
        std::string why;
        const ExitStatus status = control_exit(result, why);
        EXPECT_EQ(exit_code(status), c.status) << c.wrote << " " << c.outcome.value_or(99);
        EXPECT_EQ(why.empty(), status == ExitStatus::kOk);
    }
}

}  // namespace
