#include "tools/qmhost/report_values.hpp"

#include "driver/catalogues/alarm_catalogue.hpp"
#include "driver/catalogues/point_catalogue.hpp"
#include "driver/record_time.hpp"

#include <cstdio>

namespace {

const ReportPoint* point_named(const std::string& member)
{
    for (const ReportPoint& point : kPointCatalogue)
        if (member == point.member) return &point;
    return nullptr;
}

// The unit's state texts in qmhost's language.
const char* const kStateWords[][2] = {
    {"开机", "on"},
    {"关机", "off"},
    {"停止", "stopped"},
    {"运行", "running"},
    {"停机中", "stopping"},
    {"群控待机", "standby (group control)"},
    {"待机", "standby"},
    {"制冷", "cooling"},
    {"制热", "heating"},
    {"加湿", "humidifying"},
    {"除湿", "dehumidifying"},
    {"除湿温度补偿", "dehumidifying, temperature compensated"},
    {"除湿防凝露", "dehumidifying, condensation guard"},
    {"加湿加热", "humidifying and heating"},
    {"加湿制冷", "humidifying and cooling"},
    {"除湿制冷", "dehumidifying and cooling"},
    {"制冷防凝露", "cooling, condensation guard"},
    {"无效值", "invalid value"},
};

}  // namespace

std::string report_time_text(const ttime& stamp)
{
    char text[kRecordTimeTextSize];
    return std::string(text, format_record_time(stamp, text));
}

std::string report_time_text(const boost::posix_time::ptime& time)
{
    return time.is_special() ? "(no time)" : report_time_text(get_ttime(time));
}

bool is_report_member(const std::string& member)
{
    if (point_named(member)) return true;
    for (const AlarmPoint& alarm : kAlarmCatalogue)
        if (member == alarm.alarm_name) return true;
    return false;
}

std::string member_value_text(const Json::Value& report, const std::string& member)
{
    const Json::Value* value = report.isObject() ? report.find(member.data(), member.data() + member.size()) : nullptr;
    if (!value) return "?";
    if (value->isString()) return value->asString();
    if (value->isBool()) return value->asBool() ? "true" : "false";
    if (!value->isNumeric()) return "?";
    const ReportPoint* point = point_named(member);
    const bool tenths = point && point->conversion == Conversion::Tenths;
    char number[32];
    std::snprintf(number, sizeof number, tenths ? "%.1f" : "%.0f", value->asDouble());
    return number;
}

const char* state_word(const std::string& text)
{
    for (const auto& [unit_text, word] : kStateWords)
        if (text == unit_text) return word;
    return nullptr;
}
