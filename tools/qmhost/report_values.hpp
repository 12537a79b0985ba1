// Report members as a person reads them: numbers as the unit means them
// (one decimal for tenths, whole numbers as read), texts as they are, and
// times in the report's own format.
#pragma once

#include "host/framework.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include <string>
#include <vector>

// The record's time text, as the report writes "更新时间".
std::string report_time_text(const ttime& stamp);

// True when `member` names a point member or an alarm member of the report.
bool is_report_member(const std::string& member);

// The report members nearest to a name that is none (holding it whole, or
// a few letters off), best first, at most three; empty when none is near.
std::vector<std::string> nearest_members(const std::string& name);

// The engineering unit of a numeric point member where its name says what
// it measures ("°C", "%RH", "V", ...); empty for texts, alarms, and numbers
// whose unit the name does not give.
std::string member_unit(const std::string& member);

// The member's value for a person: a tenths point with one decimal, other
// numbers whole, texts and booleans as they are, "?" when absent.
std::string member_value_text(const Json::Value& report, const std::string& member);
