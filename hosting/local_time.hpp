// qmhost's own times: ISO 8601, local time with its offset from UTC
// (2026-12-08T10:02:17+08:00), which sorts as text and names one moment.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>

#include <string>

// A local wall-clock time, as the driver stamps its cycle; "(no time)" for
// none.
std::string iso8601_local(const boost::posix_time::ptime& local);
std::string iso8601_local_now();
