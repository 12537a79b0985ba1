// Times as the store keeps them (milliseconds since 1970 in UTC) and as
// people and programs write them (ISO 8601).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace agent {

// 2026-12-08T10:02:17.123Z
std::string iso8601_utc_ms(int64_t ms_since_epoch);

// A date (2026-12-08, that day's 00:00 UTC) or a date-time with Z or an
// offset (2026-12-08T10:02:17Z, 2026-12-08T18:02:17.5+08:00, "T" or a space
// between date and time, seconds and fractions optional). Empty for anything
// else, a date-time without a zone among them: it would mean a different
// moment on every machine.
std::optional<int64_t> parse_iso8601_ms(const std::string& text);

// True when year-month-day is a day of the Gregorian calendar: month 1 to
// 12, day 1 to the month's length (29 February in leap years).
bool is_calendar_date(int year, int month, int day);

// 2026-12-08T10:02:17+08:00: whole seconds in the machine's own time zone,
// as people on the site read their clocks.
std::string iso8601_local(int64_t ms_since_epoch);

// The wall clock now, in ms since 1970 UTC.
int64_t utc_now_ms();
// The steady clock now, in ms from an arbitrary start; it never steps.
int64_t steady_now_ms();

// Watches the wall clock against the steady one: a difference between their
// advances beyond `threshold_ms` is a step (set by hand, or by a time
// service), told once; the watch then goes on from the new time.
class ClockWatch {
public:
    explicit ClockWatch(int64_t threshold_ms = 2000) : threshold_ms_(threshold_ms) {}
    // Both clocks read together; the step since the last sample (forward
    // above 0) when beyond the threshold.
    std::optional<int64_t> sample(int64_t utc_ms, int64_t steady_ms);

private:
    int64_t threshold_ms_;
    std::optional<int64_t> offset_ms_;  // utc - steady at the last sample
};

}  // namespace agent
