#include "agent/time_text.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace agent {

namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool is_leap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m)
{
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// A fixed-width run of digits at text[at], advancing `at`.
bool take_digits(const std::string& text, std::size_t& at, std::size_t count, int& value)
{
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    at += count;
    return true;
}

bool take_char(const std::string& text, std::size_t& at, char wanted)
{
    if (at >= text.size() || text[at] != wanted) return false;
    ++at;
    return true;
}

// .fff... after the seconds: milliseconds, further digits cut off.
bool take_fraction(const std::string& text, std::size_t& at, int& ms)
{
    ms = 0;
    if (!take_char(text, at, '.') && !take_char(text, at, ',')) return true;
    int digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
        if (digits < 3) ms = ms * 10 + (text[at] - '0');
    if (digits == 0) return false;
    for (int i = digits; i < 3; ++i) ms *= 10;
    return true;
}

// Z, +hh:mm, -hh:mm, +hhmm or +hh, in seconds east of UTC.
bool take_zone(const std::string& text, std::size_t& at, int64_t& offset_s)
{
    if (take_char(text, at, 'Z') || take_char(text, at, 'z')) {
        offset_s = 0;
        return true;
    }
    if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return false;
    const int sign = text[at++] == '-' ? -1 : 1;
    int hours = 0;
    int minutes = 0;
    if (!take_digits(text, at, 2, hours) || hours > 23) return false;
    if (at < text.size()) {
        take_char(text, at, ':');
        if (!take_digits(text, at, 2, minutes) || minutes > 59) return false;
    }
    offset_s = sign * (hours * 3600 + minutes * 60);
    return true;
}

}  // namespace

std::string iso8601_utc_ms(int64_t ms_since_epoch)
{
    int64_t seconds = ms_since_epoch / kMsPerSecond;
    int64_t ms = ms_since_epoch % kMsPerSecond;
    if (ms < 0) {
        ms += kMsPerSecond;
        --seconds;
    }
    const auto time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[80];  // room for any int the fields could hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

bool is_calendar_date(int year, int month, int day)
{
    return month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

std::optional<int64_t> parse_iso8601_ms(const std::string& text)
{
    std::size_t at = 0;
    int year = 0, month = 0, day = 0;
    if (!take_digits(text, at, 4, year) || !take_char(text, at, '-') || !take_digits(text, at, 2, month) ||
        !take_char(text, at, '-') || !take_digits(text, at, 2, day))
        return std::nullopt;
    if (!is_calendar_date(year, month, day)) return std::nullopt;
    const int64_t midnight_s = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
                               kSecondsPerDay;
    if (at == text.size()) return midnight_s * kMsPerSecond;

    if (!take_char(text, at, 'T') && !take_char(text, at, 't') && !take_char(text, at, ' ')) return std::nullopt;
    int hour = 0, minute = 0, second = 0, ms = 0;
    if (!take_digits(text, at, 2, hour) || hour > 23 || !take_char(text, at, ':') ||
        !take_digits(text, at, 2, minute) || minute > 59)
        return std::nullopt;
    if (take_char(text, at, ':')) {
        // 60: a leap second, read as the next minute's start.
        if (!take_digits(text, at, 2, second) || second > 60 || !take_fraction(text, at, ms)) return std::nullopt;
    }
    int64_t offset_s = 0;
    if (!take_zone(text, at, offset_s) || at != text.size()) return std::nullopt;
    const int64_t seconds = midnight_s + hour * 3600 + minute * 60 + second - offset_s;
    return seconds * kMsPerSecond + ms;
}

int64_t utc_now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t steady_now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::optional<int64_t> ClockWatch::sample(int64_t utc_ms, int64_t steady_ms)
{
    const int64_t offset = utc_ms - steady_ms;
    std::optional<int64_t> step;
    if (offset_ms_ && std::abs(offset - *offset_ms_) > threshold_ms_) step = offset - *offset_ms_;
    // Within the threshold the offset is left alone, so a slow drift adds up to a step in the end.
    if (!offset_ms_ || step) offset_ms_ = offset;
    return step;
}

std::string iso8601_local(int64_t ms_since_epoch)
{
    const std::time_t seconds = static_cast<std::time_t>(ms_since_epoch / kMsPerSecond - (ms_since_epoch % kMsPerSecond < 0));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    // %z gives +0800; ISO 8601's extended form wants +08:00.
    if (length >= 5) {
        std::string out(text, length);
        out.insert(out.size() - 2, ":");
        return out;
    }
    return std::string(text, length);
}

}  // namespace agent
