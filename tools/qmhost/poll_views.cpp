#include "tools/qmhost/poll_views.hpp"

#include "hosting/json_lines.hpp"
#include "hosting/local_time.hpp"
#include "tools/qmhost/options.hpp"
#include "tools/qmhost/report_values.hpp"

void check_point_names(const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        if (is_report_member(name)) continue;
        std::string suggestion;
        for (const std::string& near : nearest_members(name))
            suggestion += (suggestion.empty() ? "; did you mean " : " or ") + near;
        throw UsageError("--points: \"" + name + "\" is no report member" + suggestion +
                         (suggestion.empty() ? "" : "?") + " (qmhost points lists them)");
    }
}

std::string points_header(const std::vector<std::string>& names)
{
    // As wide as the times below it.
    std::string line = "time                     ";
    for (const std::string& name : names) {
        const std::string unit = member_unit(name);
        line += "  " + name + (unit.empty() ? "" : " [" + unit + "]");
    }
    return line + '\n';
}

std::string points_line(const std::string& prefix, const boost::posix_time::ptime& time,
                        const Json::Value* report, const std::vector<std::string>& names)
{
    std::string line = prefix + iso8601_local(time);
    for (const std::string& name : names)
        line += "  " + name + "=" + (report ? member_value_text(*report, name) : std::string("?"));
    return line + '\n';
}

std::string report_line(unsigned int device_id, int slave, const boost::posix_time::ptime& time,
                        const std::string& report)
{
    JsonLines lines;
    const std::size_t length = !report.empty() && report.back() == '\n' ? report.size() - 1 : report.size();
    return "{" + lines.ordered_members({{"device", device_id}, {"slave", slave}, {"time", iso8601_local(time)}}) +
           ",\"report\":" + report.substr(0, length) + "}\n";
}

std::string event_lines(const boost::posix_time::ptime& time, unsigned int device_id, int slave,
                        const std::vector<std::pair<std::string, bool>>& transitions)
{
    if (transitions.empty()) return {};
    JsonLines lines;
    const std::string time_text = iso8601_local(time);
    std::string out;
    for (const auto& [alarm, raised] : transitions)
        out += lines.ordered_line({{"device", device_id},
                                   {"slave", slave},
                                   {"time", time_text},
                                   {"event", raised ? "raised" : "cleared"},
                                   {"alarm", alarm}});
    return out;
}

std::string health_event_line(const std::string& time, unsigned int device_id, int slave, const char* event,
                              long failed)
{
    JsonLines lines;
    return lines.ordered_line({{"device", device_id},
                               {"slave", slave},
                               {"time", time},
                               {"event", event},
                               {"failed", static_cast<Json::Int64>(failed)}});
}
