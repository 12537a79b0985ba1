// What `qmhost poll` writes per completed cycle besides the summary: the
// chosen members (--points), the report in its wrapper (--report) and the
// alarm raises and clears and the unit's loss and return (--events). Every
// JSON line names its unit (device, slave) and its time first.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

// Throws UsageError naming the first name that is no member of the report.
void check_point_names(const std::vector<std::string>& names);

// The line above the --points lines: each name with its unit when it has one.
std::string points_header(const std::vector<std::string>& names);

// "TIME  NAME=VALUE  NAME=VALUE\n", values as a person reads them.
std::string points_line(const std::string& prefix, const boost::posix_time::ptime& time,
                        const Json::Value* report, const std::vector<std::string>& names);

// {"device":..,"slave":..,"time":..,"report":REPORT}: the driver's report
// text inside, byte for byte as the driver rendered it.
std::string report_line(unsigned int device_id, int slave, const boost::posix_time::ptime& time,
                        const std::string& report);

// One JSON line per raise or clear: device, slave, time, event, alarm.
std::string event_lines(const boost::posix_time::ptime& time, unsigned int device_id, int slave,
                        const std::vector<std::pair<std::string, bool>>& transitions);

// The unit taken as lost ("lost") or answering again ("back"), with the
// count of cycles it failed in a row; `time` as iso8601_local makes it.
std::string health_event_line(const std::string& time, unsigned int device_id, int slave, const char* event,
                              long failed);
