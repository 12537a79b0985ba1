#include "tools/qmhost/summary.hpp"

#include "host/framework.hpp"

#include <json/json.h>

#include <cstdio>
#include <sstream>

namespace {

// Report members the summary shows.
constexpr const char* kOnOff = "开关机";
constexpr const char* kUnitState = "机组状态";
constexpr const char* kCurrentState = "当前状态";
constexpr const char* kSupplyTemperature = "1#送风温度";
constexpr const char* kSupplyHumidity = "送风湿度";
constexpr const char* kReturnTemperature = "1#回风温度";
constexpr const char* kReturnHumidity = "回风湿度";
constexpr const char* kSupplySetpoint = "送风温度设定";
constexpr const char* kReturnSetpoint = "回风温度设定";
constexpr const char* kHumiditySetpoint = "湿度设定";

// A number with one decimal and its unit, a text as it is, "?" when absent.
std::string member_text(const Json::Value& report, const char* member, const char* unit = "")
{
    const Json::Value& v = report[member];
    if (v.isNumeric()) {
        char number[32];
        std::snprintf(number, sizeof number, "%.1f", v.asDouble());
        return std::string(number) + unit;
    }
    if (v.isString()) return v.asString();
    return "?";
}

std::string time_text(const boost::posix_time::ptime& t)
{
    if (t.is_special()) return "(no time)";
    const ttime stamp = get_ttime(t);
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{stamp.year}, unsigned{stamp.month},
                  unsigned{stamp.day}, unsigned{stamp.hour}, unsigned{stamp.minute}, unsigned{stamp.second});
    return text;
}

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

}  // namespace

std::string render_summary(const CycleSummary& cycle)
{
    std::ostringstream out;
    out << cycle.prefix << time_text(cycle.time);
    if (cycle.report && cycle.report->isObject()) {
        const Json::Value& r = *cycle.report;
        out << "  unit " << member_text(r, kOnOff) << " / " << member_text(r, kUnitState) << " / "
            << member_text(r, kCurrentState) << '\n';
        out << "  supply air  " << member_text(r, kSupplyTemperature, " °C") << "  "
            << member_text(r, kSupplyHumidity, " %RH") << "   setpoint " << member_text(r, kSupplySetpoint, " °C")
            << '\n';
        out << "  return air  " << member_text(r, kReturnTemperature, " °C") << "  "
            << member_text(r, kReturnHumidity, " %RH") << "   setpoints " << member_text(r, kReturnSetpoint, " °C")
            << ", " << member_text(r, kHumiditySetpoint, " %RH") << '\n';
    } else {
        out << "  (the driver gave no status report)\n";
    }
    out << "  alarms: " << (cycle.active_alarms.empty() ? "none" : joined(cycle.active_alarms)) << '\n';
    for (const auto& [name, raised] : cycle.transitions)
        out << "  alarm " << (raised ? "raised: " : "cleared: ") << name << '\n';
    return out.str();
}
