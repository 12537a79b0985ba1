#include "tools/qmhost/stored_record.hpp"

#include "agent/time_text.hpp"
#include "driver/record.hpp"
#include "driver/record_time.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

bool is_time_of_day(const ttime& t)
{
    return t.hour < 24 && t.minute < 60 && t.second < 60;
}

std::string stamp_text(const ttime& stamp)
{
    char text[kRecordTimeTextSize];
    format_record_time(stamp, text);
    return text;
}

}  // namespace

uint32_t record_device_id(const std::vector<unsigned char>& record)
{
    uint32_t id = 0;
    std::memcpy(&id, record.data() + offsetof(QM4700RX2VA9_Data_t, dev_id), sizeof id);
    return id;
}

ttime record_stamp(const std::vector<unsigned char>& record)
{
    ttime stamp{};
    std::memcpy(&stamp, record.data() + offsetof(QM4700RX2VA9_Data_t, time), sizeof stamp);
    return stamp;
}

std::string record_time_iso(const ttime& stamp)
{
    char text[kRecordTimeTextSize];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", static_cast<unsigned>(stamp.year),
                  static_cast<unsigned>(stamp.month), static_cast<unsigned>(stamp.day),
                  static_cast<unsigned>(stamp.hour), static_cast<unsigned>(stamp.minute),
                  static_cast<unsigned>(stamp.second));
    return text;
}

std::string record_refusal(const std::vector<unsigned char>& record)
{
    if (std::all_of(record.begin(), record.end(), [](unsigned char byte) { return byte == 0; }))
        return "every byte is zero";
    const ttime stamp = record_stamp(record);
    if (!agent::is_calendar_date(stamp.year, stamp.month, stamp.day) || !is_time_of_day(stamp))
        return "its time stamp " + stamp_text(stamp) + " is no real date and time";
    if (stamp.year < kFirstRecordYear || stamp.year > kLastRecordYear)
        return "its time stamp " + stamp_text(stamp) + " is outside the years " + std::to_string(kFirstRecordYear) +
               " to " + std::to_string(kLastRecordYear);
    return {};
}
