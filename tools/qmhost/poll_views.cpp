#include "tools/qmhost/poll_views.hpp"

#include "tools/qmhost/json_lines.hpp"
#include "tools/qmhost/options.hpp"
#include "tools/qmhost/report_values.hpp"

void check_point_names(const std::vector<std::string>& names)
{
    for (const std::string& name : names)
        if (!is_report_member(name))
            throw UsageError("--points: \"" + name + "\" is no report member (qmhost points lists them)");
}

std::string points_line(const std::string& prefix, const boost::posix_time::ptime& time,
                        const Json::Value* report, const std::vector<std::string>& names)
{
    std::string line = prefix + report_time_text(time);
    for (const std::string& name : names)
        line += "  " + name + "=" + (report ? member_value_text(*report, name) : std::string("?"));
    return line + '\n';
}

std::string event_lines(const boost::posix_time::ptime& time, unsigned int device_id, int slave,
                        const std::vector<std::pair<std::string, bool>>& transitions)
{
    if (transitions.empty()) return {};
    JsonLines lines;
    std::string out;
    for (const auto& [alarm, raised] : transitions) {
        Json::Value event(Json::objectValue);
        event["time"] = report_time_text(time);
        event["device"] = device_id;
        event["slave"] = slave;
        event["alarm"] = alarm;
        event["event"] = raised ? "raised" : "cleared";
        out += lines.line(event);
    }
    return out;
}
