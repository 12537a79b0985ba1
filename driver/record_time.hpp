// The record's time stamp as text: y-m-d h:m:s without leading zeros, as the
// report writes "更新时间". The tools show stored records' times with it, so
// their text and the report's agree.
#pragma once

#include "host/framework.hpp"

#include <cstddef>
#include <cstdio>

// Room for any time stamp: five digits of year, three of every other field.
inline constexpr std::size_t kRecordTimeTextSize = 32;

// Writes the text, nul-terminated, into `text`; returns its length.
inline std::size_t format_record_time(const ttime& t, char (&text)[kRecordTimeTextSize])
{
    const int length = std::snprintf(text, sizeof text, "%u-%u-%u %u:%u:%u", static_cast<unsigned>(t.year),
                                     static_cast<unsigned>(t.month), static_cast<unsigned>(t.day),
                                     static_cast<unsigned>(t.hour), static_cast<unsigned>(t.minute),
                                     static_cast<unsigned>(t.second));
    return static_cast<std::size_t>(length);
}
