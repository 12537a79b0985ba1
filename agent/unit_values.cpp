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

constexpr Conversion conversion_of(ShownKind kind)
{
    switch (kind) {
    case ShownKind::Tenths: return Conversion::Tenths;
    case ShownKind::State: return Conversion::Text;
    case ShownKind::Whole: return Conversion::AsRead;
    case ShownKind::Total: return Conversion::EnergyTotal;
    }
    return Conversion::Unpolled;
}

constexpr bool every_point_catalogued()
{
    for (const ShownPoint& shown : kShownPoints) {
        const std::size_t place = catalogue_place(shown.member);
        if (place == kPointCatalogue.size()) return false;
        if (kPointCatalogue[place].conversion != conversion_of(shown.kind)) return false;
    }
    return true;
}
static_assert(every_point_catalogued(), "each shown point is a report member with the conversion it is shown with");

constexpr std::size_t times_shown(const char* member)
{
    std::size_t times = 0;
    for (const ShownPoint& shown : kShownPoints) times += same_text(shown.member, member) ? 1 : 0;
    return times;
}

// Every point the report carries a value in has its key, once; only the
// time text and the points without a register are left out.
constexpr bool every_value_shown()
{
    for (const ReportPoint& point : kPointCatalogue) {
        const bool left_out = point.conversion == Conversion::TimeText || point.conversion == Conversion::Unpolled;
        if (times_shown(point.member) != (left_out ? 0 : 1)) return false;
    }
    return true;
}
static_assert(every_value_shown(), "a report point with a value has no key, or one key twice");

constexpr bool key_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.'; }

// Dotted lower-case ASCII, no empty level, each key once.
constexpr bool keys_well_formed()
{
    for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
        const char* key = kShownPoints[i].key;
        if (*key == '.' || *key == 0) return false;
        char last = 0;
        for (const char* c = key; *c; last = *c++)
            if (!key_char(*c) || (*c == '.' && last == '.')) return false;
        if (last == '.') return false;
        for (std::size_t j = 0; j < i; ++j)
            if (same_text(kShownPoints[j].key, key)) return false;
    }
    return true;
}
static_assert(keys_well_formed(), "a key is not dotted lower-case ASCII, or is given twice");

// The catalogue's state texts in English, by text table and value. The
// first four come first: a text's word is looked up in this order.
struct StateWords {
    Texts table;
    std::array<const char*, 15> words;
};
constexpr std::array<StateWords, 11> kStateWords = {{
    {Texts::Power, {"off", "on"}},
    {Texts::UnitState, {"stopped", "running", "stopping", "standby (group control)"}},
    {Texts::CurrentState,
     {"standby", "cooling", "heating", "humidifying", "dehumidifying", "dehumidifying, temperature compensated",
      "dehumidifying, condensation guard", "humidifying and heating", "humidifying and cooling",
      "dehumidifying and cooling", "cooling, condensation guard"}},
    {Texts::AirSource, {"supply", "return"}},
    {Texts::Outputs, {"off", "on"}},
    {Texts::Running, {"stopped", "running"}},
    {Texts::Drain, {"off", "draining"}},
    {Texts::Fault, {"ok", "fault"}},
    {Texts::CompressorState,
     {"off", "normal", "manual", "pressure difference", "oil return", "high pressure", "high discharge temperature",
      "low suction", "high suction", "dehumidifying, condensation guard", "dehumidifying", "forced cooling",
      "discharge temperature speed limit", "starting", "cooling, condensation guard"}},
    {Texts::InputContact, {"closed", "open"}},
    {Texts::ContactDefinition, {"normally closed", "normally open"}},
}};

constexpr bool every_state_worded()
{
    for (const ShownPoint& shown : kShownPoints) {
        if (shown.kind != ShownKind::State) continue;
        const Texts table = kPointCatalogue[catalogue_place(shown.member)].text_table;
        bool worded = false;
        for (const StateWords& words : kStateWords) {
            if (words.table != table) continue;
            worded = true;
            for (std::size_t raw = 0; raw < kTextTables[static_cast<std::size_t>(table)].count; ++raw)
                if (!words.words[raw]) return false;
        }
        if (!worded) return false;
    }
    return true;
}
static_assert(every_state_worded(), "a state shown has a text without an English word");

// A value the unit's table has no text for (the unit's own "无效值").
constexpr const char* kUnlistedWord = "invalid";

const char* state_word(Texts table, uint32_t raw)
{
    for (const StateWords& words : kStateWords)
        if (words.table == table && raw < words.words.size() && words.words[raw]) return words.words[raw];
    return kUnlistedWord;
}

// Each shown point's place in the catalogue, found once.
constexpr std::array<std::size_t, kShownPoints.size()> kCataloguePlaces = [] {
    std::array<std::size_t, kShownPoints.size()> places{};
    for (std::size_t i = 0; i < kShownPoints.size(); ++i) places[i] = catalogue_place(kShownPoints[i].member);
    return places;
}();

}  // namespace

uint16_t cell_value(const std::vector<unsigned char>& record, const record_layout::RecordCell& cell)
{
    if (cell.width == 1) return record[cell.offset];
    return static_cast<uint16_t>(record[cell.offset] | (record[cell.offset + 1] << 8));
}

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

std::optional<std::size_t> shown_key_place(const std::string& key)
{
    for (std::size_t i = 0; i < kShownPoints.size(); ++i)
        if (key == kShownPoints[i].key) return i;
    return std::nullopt;
}

RecordValues read_record_values(const std::vector<unsigned char>& record)
{
    if (record.size() != contract::kRecordSize)
        throw std::invalid_argument("a record of " + std::to_string(record.size()) + " bytes, not " +
                                    std::to_string(contract::kRecordSize));
    RecordValues values;
    for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
        const ReportPoint& point = kPointCatalogue[kCataloguePlaces[i]];
        ShownValue& value = values.values[i];
        value.raw = cell_value(record, point.source);
        switch (kShownPoints[i].kind) {
        case ShownKind::Tenths:
            value.text = decimal_text(value.raw, 1);
            break;
        case ShownKind::Total:
            value.raw += 100u * cell_value(record, point.source2);
            value.text = std::to_string(value.raw);
            break;
        case ShownKind::Whole:
            value.text = std::to_string(value.raw);
            break;
        case ShownKind::State: {
            const TextTable& table = kTextTables[static_cast<std::size_t>(point.text_table)];
            value.text = value.raw < table.count ? table.texts[value.raw] : kUnlistedText;
            value.word = state_word(point.text_table, value.raw);
            break;
        }
        }
    }
    for (std::size_t position = 0; position < kAlarmCatalogue.size(); ++position)
        if (record[kAlarmCatalogue[position].source] != 0) values.active_alarms.push_back(static_cast<int>(position));
    return values;
}

Json::Value values_json(const RecordValues& values, const ShownKeys& keys)
{
    Json::Value json(Json::objectValue);
    for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
        if (!keys.test(i)) continue;
        const ShownValue& value = values.values[i];
        switch (kShownPoints[i].kind) {
        case ShownKind::Tenths:
            json[kShownPoints[i].key] = value.raw / 10.0;  // written back as 31.2 at 15 digits
            break;
        case ShownKind::Whole:
        case ShownKind::Total:
            json[kShownPoints[i].key] = Json::UInt{value.raw};
            break;
        case ShownKind::State:
            json[kShownPoints[i].key] = value.word;
            break;
        }
    }
    return json;
}

std::string value_text(const ShownValue& value) { return *value.word ? value.word : value.text; }

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
