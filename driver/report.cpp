// The status report: the record rendered as one JSON document, rebuilt only
// when a cycle has completed since the last rebuild, so any number of
// requests within one cycle cost one rebuild.
#include "driver/QM4700RX2VA9.hpp"
#include "driver/catalogues/alarm_catalogue.hpp"
#include "driver/catalogues/point_catalogue.hpp"
#include "driver/record_time.hpp"

#include <cstring>

namespace {

const char* const kAlertArray = "AlertArray";
const char* const kAlarmActiveText = "告警";
const char* const kAlarmClearText = "正常";

unsigned register_at(const unsigned char* record, std::size_t offset)
{
    return static_cast<unsigned>(record[offset]) | (static_cast<unsigned>(record[offset + 1]) << 8);
}

unsigned cell_at(const unsigned char* record, const ReportPoint& point)
{
    return point.source.width == 1 ? record[point.source.offset] : register_at(record, point.source.offset);
}

// Tenths are divided in single precision and widened exactly: register 234
// reads 23.399999618530273, as the unit's other consumers show it.
double tenths(unsigned raw) { return static_cast<double>(static_cast<float>(raw) / 10.0f); }

// The record's time as the report shows it; returns the text's length.
std::size_t time_text(const unsigned char* record, std::size_t offset, char (&text)[kRecordTimeTextSize])
{
    ttime t;
    std::memcpy(&t, record + offset, sizeof t);
    return format_record_time(t, text);
}

// The document keeps its own copy of every text. A text the member already
// holds is left alone, so a rebuild copies only texts that changed.
void set_text(Json::Value& member, const char* text, std::size_t length)
{
    const char* begin = nullptr;
    const char* end = nullptr;
    if (member.isString() && member.getString(&begin, &end) &&
        static_cast<std::size_t>(end - begin) == length && std::memcmp(begin, text, length) == 0)
        return;
    member = Json::Value(text, text + length);
}

void set_text(Json::Value& member, const char* text) { set_text(member, text, std::strlen(text)); }

void write_point(Json::Value& member, const ReportPoint& point, const unsigned char* record)
{
    switch (point.conversion) {
    case Conversion::Text: {
        const TextTable& table = kTextTables[static_cast<std::size_t>(point.text_table)];
        const unsigned value = cell_at(record, point);
        set_text(member, value < table.count ? table.texts[value] : kUnlistedText);
        return;
    }
    case Conversion::Tenths:
        member = tenths(register_at(record, point.source));
        return;
    case Conversion::AsRead:
        member = static_cast<double>(static_cast<float>(register_at(record, point.source)));
        return;
    case Conversion::EnergyTotal:
        member = static_cast<int>(register_at(record, point.source2) * 100 + register_at(record, point.source));
        return;
    case Conversion::TimeText: {
        char text[kRecordTimeTextSize];
        set_text(member, text, time_text(record, point.source, text));
        return;
    }
    case Conversion::Unpolled:
        member = 0.0;
        return;
    }
}

// Members are looked up by the catalogue's names; jsoncpp copies a name
// when it first adds the member.
void write_points(Json::Value& report, const unsigned char* record, std::size_t first, std::size_t end)
{
    for (std::size_t i = first; i < end; ++i)
        write_point(report[kPointCatalogue[i].member], kPointCatalogue[i], record);
}

}  // namespace

void QM4700RX2VA9::rebuild_report()
{
    // The document is overwritten member by member, never cleared: every
    // rebuild writes the same members. It owns its names and texts, so a
    // copy the host keeps outlives the driver and the plug-in.
    ++report_rebuild_count_;
    const unsigned char* bytes = record_bytes();
    write_points(report_, bytes, 0, kPointsBeforeAlarms);
    for (const AlarmPoint& alarm : kAlarmCatalogue) {
        const bool active = bytes[alarm.source] != 0;
        set_text(report_[alarm.alarm_name], active ? kAlarmActiveText : kAlarmClearText);
        report_[kAlertArray][alarm.alarm_name] = active;
    }
    write_points(report_, bytes, kPointsBeforeAlarms, kPointCatalogue.size());
}

// Called with the report lock held.
void QM4700RX2VA9::refresh_report_if_new_cycle()
{
    if (m_cycle_time == report_time_) return;
    report_time_ = m_cycle_time;
    rebuild_report();
}

int QM4700RX2VA9::report_text(void* output, int output_capacity, int& returned_length)
{
    std::lock_guard<std::mutex> lock(report_lock_);
    refresh_report_if_new_cycle();
    const std::string text = Json::FastWriter().write(report_);
    returned_length = static_cast<int>(text.size());
    if (output == nullptr || output_capacity < 0 ||
        static_cast<std::size_t>(output_capacity) < text.size())
        return -1;
    std::memcpy(output, text.data(), text.size());
    return 0;
}

// The document's address, in the width of the host's pointers (4 bytes on
// the gateway). It stays valid as long as the driver object lives.
int QM4700RX2VA9::report_handle(void* output, int output_capacity, int& returned_length)
{
    std::lock_guard<std::mutex> lock(report_lock_);
    refresh_report_if_new_cycle();
    const Json::Value* document = &report_;
    returned_length = static_cast<int>(sizeof document);
    if (output == nullptr || output_capacity < static_cast<int>(sizeof document)) return -1;
    std::memcpy(output, &document, sizeof document);
    return 0;
}
