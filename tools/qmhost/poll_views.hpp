// What `qmhost poll` writes per completed cycle besides the report: the
// chosen members (--points) and the alarm raises and clears (--events).
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

// Throws UsageError naming the first name that is no member of the report.
void check_point_names(const std::vector<std::string>& names);

// "TIME  NAME=VALUE  NAME=VALUE\n", values as a person reads them.
std::string points_line(const std::string& prefix, const boost::posix_time::ptime& time,
                        const Json::Value* report, const std::vector<std::string>& names);

// One JSON line per raise or clear: time, device, slave, alarm, event.
std::string event_lines(const boost::posix_time::ptime& time, unsigned int device_id, int slave,
                        const std::vector<std::pair<std::string, bool>>& transitions);
