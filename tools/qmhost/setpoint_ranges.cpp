#include "tools/qmhost/setpoint_ranges.hpp"

#include "base/usage_error.hpp"

#include <charconv>

int checked_setpoint(const SetpointRange& range, const std::string& text, bool force)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        throw UsageError(std::string(range.what) + " must be a whole number (the unit takes whole" + range.unit +
                         "), not \"" + text + "\"; nothing sent");
    const int low = force ? 0 : range.low;
    const int high = force ? kForcedHigh : range.high;
    if (value < low || value > high)
        throw UsageError(std::string(range.what) + " " + text + range.unit + " is outside " + std::to_string(low) +
                         " to " + std::to_string(high) + range.unit +
                         (force ? "" : " (--force allows 0 to " + std::to_string(kForcedHigh) + ")") +
                         "; nothing sent");
    return value;
}
