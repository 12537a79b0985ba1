// The readable per-cycle summary `qmhost poll` prints without --report.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct CycleSummary {
    boost::posix_time::ptime time;
    const Json::Value* report;  // the driver's report document (803), or null
    std::vector<std::string> active_alarms;
    std::vector<std::pair<std::string, bool>> transitions;  // alarm name, raised
    std::string prefix;  // "device 3: " when several devices are polled
};

// A few lines: the time, the unit's on/off and state texts, supply and
// return air with their setpoints (from the report's members), the active
// alarms, and the raise/clear transitions.
std::string render_summary(const CycleSummary& cycle);
