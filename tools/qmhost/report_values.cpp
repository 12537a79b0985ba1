#include "tools/qmhost/report_values.hpp"

#include "driver/catalogues/alarm_catalogue.hpp"
#include "driver/catalogues/point_catalogue.hpp"
#include "driver/record_time.hpp"

#include <algorithm>
#include <cstdio>

namespace {

const ReportPoint* point_named(const std::string& member)
{
    for (const ReportPoint& point : kPointCatalogue)
        if (member == point.member) return &point;
    return nullptr;
}

// What a member measures, by a word of its name; the first that matches.
// Names that say no unit (pressures, speeds, power, proportional outputs)
// have none here: the unit's documentation gives it.
const char* const kUnitsByWord[][2] = {
    {"运行时间", "h"}, {"湿度", "%RH"}, {"过热度", "K"}, {"温度", "°C"}, {"电压", "V"},
    {"电流", "A"},     {"频率", "Hz"},  {"开度", "%"},   {"电量", "kWh"},
};

// The text's code points, for distances counted in characters.
std::u32string code_points(const std::string& text)
{
    std::u32string points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        points.push_back(point);
        i += length;
    }
    return points;
}

std::size_t edit_distance(const std::u32string& a, const std::u32string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<std::string> all_member_names()
{
    std::vector<std::string> names;
    for (const ReportPoint& point : kPointCatalogue) names.emplace_back(point.member);
    for (const AlarmPoint& alarm : kAlarmCatalogue) names.emplace_back(alarm.alarm_name);
    return names;
}

}  // namespace

std::vector<std::string> nearest_members(const std::string& name)
{
    constexpr std::size_t kMostShown = 3;
    const std::u32string given = code_points(name);
    const std::size_t near = std::max<std::size_t>(1, given.size() / 2);
    // A member holding the name whole ("1#回风温度" for "回风温度") comes
    // before one a few letters off; each is taken up to the name's length apart.
    struct Candidate {
        bool holds_name;
        std::size_t distance;
        std::string member;
    };
    std::vector<Candidate> candidates;
    for (const std::string& member : all_member_names()) {
        const bool holds = member.find(name) != std::string::npos;
        const std::size_t distance = edit_distance(given, code_points(member));
        if (distance <= (holds ? given.size() : near)) candidates.push_back({holds, distance, member});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.holds_name != b.holds_name ? a.holds_name : a.distance < b.distance;
    });
    std::vector<std::string> nearest;
    for (std::size_t i = 0; i < candidates.size() && i < kMostShown; ++i) nearest.push_back(candidates[i].member);
    return nearest;
}

std::string member_unit(const std::string& member)
{
    const ReportPoint* point = point_named(member);
    if (!point || point->conversion == Conversion::Text || point->conversion == Conversion::TimeText) return "";
    for (const auto& [word, unit] : kUnitsByWord)
        if (member.find(word) != std::string::npos) return unit;
    return "";
}

std::string report_time_text(const ttime& stamp)
{
    char text[kRecordTimeTextSize];
    return std::string(text, format_record_time(stamp, text));
}

bool is_report_member(const std::string& member)
{
    if (point_named(member)) return true;
    for (const AlarmPoint& alarm : kAlarmCatalogue)
        if (member == alarm.alarm_name) return true;
    return false;
}

std::string member_value_text(const Json::Value& report, const std::string& member)
{
    const Json::Value* value = report.isObject() ? report.find(member.data(), member.data() + member.size()) : nullptr;
    if (!value) return "?";
    if (value->isString()) return value->asString();
    if (value->isBool()) return value->asBool() ? "true" : "false";
    if (!value->isNumeric()) return "?";
    const ReportPoint* point = point_named(member);
    const bool tenths = point && point->conversion == Conversion::Tenths;
    char number[32];
    std::snprintf(number, sizeof number, tenths ? "%.1f" : "%.0f", value->asDouble());
    return number;
}
