#include "agent/unit_values.hpp"

#include "agent/decimal_text.hpp"
#include "driver/catalogues/alarm_catalogue.hpp"
#include "driver/catalogues/point_catalogue.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace agent {
namespace {

constexpr bool same_text(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr std::size_t catalogue_place(const char* member)
{
    for (std::size_t i = 0; i < kPointCatalogue.size(); ++i)
        if (same_text(kPointCatalogue[i].member, member)) return i;
    return kPointCatalogue.size();
}

constexpr bool every_point_catalogued()
{
    for (const ShownPoint& shown : kShownPoints) {
        const std::size_t place = catalogue_place(shown.member);
        if (place == kPointCatalogue.size()) return false;
        const Conversion conversion = kPointCatalogue[place].conversion;
        if (conversion != (shown.kind == ShownKind::Tenths ? Conversion::Tenths : Conversion::Text)) return false;
    }
    return true;
}
static_assert(every_point_catalogued(), "each shown point is a report member with the conversion it is shown with");

// The catalogue's state texts in English, by text table and value.
struct StateWords {
    Texts table;
    std::array<const char*, 11> words;
};
constexpr std::array<StateWords, 4> kStateWords = {{
    {Texts::Power, {"off", "on"}},
    {Texts::UnitState, {"stopped", "running", "stopping", "standby (group control)"}},
    {Texts::CurrentState,
     {"standby", "cooling", "heating", "humidifying", "dehumidifying", "dehumidifying, temperature compensated",
      "dehumidifying, condensation guard", "humidifying and heating", "humidifying and cooling",
      "dehumidifying and cooling", "cooling, condensation guard"}},
    {Texts::AirSource, {"supply", "return"}},
}};

// A value the unit's table has no text for (the unit's own "无效值").
constexpr const char* kUnlistedWord = "invalid";

const char* state_word(Texts table, uint16_t raw)
{
    for (const StateWords& words : kStateWords)
        if (words.table == table && raw < words.words.size() && words.words[raw]) return words.words[raw];
    return kUnlistedWord;
}

uint16_t cell_value(const std::vector<unsigned char>& record, const record_layout::RecordCell& cell)
{
    if (cell.width == 1) return record[cell.offset];
    return static_cast<uint16_t>(record[cell.offset] | (record[cell.offset + 1] << 8));
}

}  // namespace

const char* state_word_of_text(const std::string& text)
{
    if (text == kUnlistedText) return kUnlistedWord;
    for (const StateWords& words : kStateWords) {
        const TextTable& table = kTextTables[static_cast<std::size_t>(words.table)];
        for (std::size_t raw = 0; raw < table.count && raw < words.words.size(); ++raw)
            if (words.words[raw] && text == table.texts[raw]) return words.words[raw];
    }
    return nullptr;
}

RecordValues read_record_values(const std::vector<unsigned char>& record)
{
    if (record.size() != contract::kRecordSize)
        throw std::invalid_argument("a record of " + std::to_string(record.size()) + " bytes, not " +
                                    std::to_string(contract::kRecordSize));
    RecordValues values;
    for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
        const ReportPoint& point = kPointCatalogue[catalogue_place(kShownPoints[i].member)];
        ShownValue& value = values.values[i];
        value.raw = cell_value(record, point.source);
        if (kShownPoints[i].kind == ShownKind::Tenths) {
            value.text = decimal_text(value.raw, 1);
            value.word = value.text.c_str();
            continue;
        }
        const TextTable& table = kTextTables[static_cast<std::size_t>(point.text_table)];
        value.text = value.raw < table.count ? table.texts[value.raw] : kUnlistedText;
        value.word = state_word(point.text_table, value.raw);
    }
    for (std::size_t position = 0; position < kAlarmCatalogue.size(); ++position)
        if (record[kAlarmCatalogue[position].source] != 0) values.active_alarms.push_back(static_cast<int>(position));
    return values;
}

Json::Value values_json(const RecordValues& values)
{
    Json::Value json(Json::objectValue);
    for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
        const ShownValue& value = values.values[i];
        if (kShownPoints[i].kind == ShownKind::Tenths)
            json[kShownPoints[i].key] = value.raw / 10.0;  // written back as 31.2 at 15 digits
        else
            json[kShownPoints[i].key] = value.word;
    }
    return json;
}

int alarm_code_mode(const Json::Value& unit_settings)
{
    // As the driver reads it: appSetting.b_mode, any scalar taken as its text.
    static const std::string app_key = "appSetting", mode_key = "b_mode";
    const auto find = [](const Json::Value& object, const std::string& key) {
        return object.find(key.data(), key.data() + key.size());
    };
    const Json::Value* app = unit_settings.isObject() ? find(unit_settings, app_key) : nullptr;
    const Json::Value* mode = app && app->isObject() ? find(*app, mode_key) : nullptr;
    const bool scalar = mode && !mode->isNull() && !mode->isArray() && !mode->isObject();
    return scalar && std::atoi(mode->asString().c_str()) == 2 ? 2 : 1;
}

const char* alarm_code(int position, int mode)
{
    const AlarmPoint& point = kAlarmCatalogue.at(static_cast<std::size_t>(position));
    return mode == 2 ? point.mode2_code : point.mode1_code;
}

const char* alarm_name(int position) { return kAlarmCatalogue.at(static_cast<std::size_t>(position)).alarm_name; }

}  // namespace agent
