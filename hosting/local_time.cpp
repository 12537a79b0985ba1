#include "hosting/local_time.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr long kSecondsPerMinute = 60;
constexpr long kSecondsPerHour = 3600;

std::string iso8601(const std::tm& t, long offset_s)
{
    const char sign = offset_s < 0 ? '-' : '+';
    const long offset = std::labs(offset_s);
    char text[80];  // room for any values of the fields, not only a real time
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, sign, offset / kSecondsPerHour,
                  offset % kSecondsPerHour / kSecondsPerMinute);
    return text;
}

}  // namespace

std::string iso8601_local(const boost::posix_time::ptime& local)
{
    if (local.is_special()) return "(no time)";
    const std::tm wall = boost::posix_time::to_tm(local);
    // The offset is the zone's at that moment: mktime finds whether summer
    // time applied then.
    std::tm zoned = wall;
    zoned.tm_isdst = -1;
    std::mktime(&zoned);
    return iso8601(wall, zoned.tm_gmtoff);
}

std::string iso8601_local_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return iso8601(local, local.tm_gmtoff);
}
