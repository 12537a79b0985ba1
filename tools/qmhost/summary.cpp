#include "tools/qmhost/summary.hpp"

#include "hosting/local_time.hpp"
#include "agent/unit_values.hpp"
#include "tools/qmhost/report_values.hpp"

#include <json/json.h>

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

std::string state_text(const Json::Value& report, const char* member)
{
    const std::string text = member_value_text(report, member);
    const char* word = agent::state_word_of_text(text);
    return word ? word : text;
}

// A number as the unit means it, with its unit; "?" when absent.
std::string member_text(const Json::Value& report, const char* member, const char* unit)
{
    const std::string text = member_value_text(report, member);
    return text == "?" ? text : text + unit;
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
    out << cycle.prefix << iso8601_local(cycle.time);
    if (cycle.report && cycle.report->isObject()) {
        const Json::Value& r = *cycle.report;
        out << "  unit " << state_text(r, kOnOff) << " / " << state_text(r, kUnitState) << " / "
            << state_text(r, kCurrentState) << '\n';
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
