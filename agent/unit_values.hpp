// What the agent shows of a unit's record, under ASCII keys: a few points
// read from the record's cells with the catalogue's conversion, and the
// active alarm points. Metrics, the API, the status page and qmhost status
// all read a record through here, so they agree to the digit.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace agent {

enum class ShownKind {
    Tenths,  // a register of tenths: 312 is 31.2
    State,   // a state from the catalogue's text table, shown as an English word
};

struct ShownPoint {
    const char* key;     // the ASCII key: "air.return.temperature"
    const char* member;  // the report member it comes from: "1#回风温度"
    ShownKind kind;
    const char* unit;  // of a number: "°C", "%RH"; "" for a state
};

// In the order qmhost status prints them.
inline constexpr std::array<ShownPoint, 11> kShownPoints = {{
    {"unit.state", "开关机", ShownKind::State, ""},
    {"unit.run", "机组状态", ShownKind::State, ""},
    {"unit.mode", "当前状态", ShownKind::State, ""},
    {"unit.control", "温度控制", ShownKind::State, ""},
    {"air.return.temperature", "1#回风温度", ShownKind::Tenths, "°C"},
    {"air.return.humidity", "回风湿度", ShownKind::Tenths, "%RH"},
    {"air.supply.temperature", "1#送风温度", ShownKind::Tenths, "°C"},
    {"air.supply.humidity", "送风湿度", ShownKind::Tenths, "%RH"},
    {"setpoint.temperature", "回风温度设定", ShownKind::Tenths, "°C"},
    {"setpoint.humidity", "湿度设定", ShownKind::Tenths, "%RH"},
    {"setpoint.supply.temperature", "送风温度设定", ShownKind::Tenths, "°C"},
}};

// Places in kShownPoints, for the code that needs one point.
enum Shown : std::size_t {
    kUnitState,
    kUnitRun,
    kUnitMode,
    kUnitControl,
    kReturnTemperature,
    kReturnHumidity,
    kSupplyTemperature,
    kSupplyHumidity,
    kTemperatureSetpoint,
    kHumiditySetpoint,
    kSupplySetpoint,
};

struct ShownValue {
    uint16_t raw = 0;      // the register or the coil's byte as the record holds it
    std::string text;      // a state's text as the unit names it (开机), or the number ("31.2")
    const char* word = ""; // a state in English (on); the number's text again
};

struct RecordValues {
    std::array<ShownValue, kShownPoints.size()> values;
    std::vector<int> active_alarms;  // positions in the alarm catalogue, from 0, ascending
};

// Throws std::invalid_argument for anything but a 459-byte record.
RecordValues read_record_values(const std::vector<unsigned char>& record);

// A state's text as a report gives it (开机, 运行, 制冷, ...) in the same
// English word the values above use; null for a text without one.
const char* state_word_of_text(const std::string& text);

// The values as JSON under their keys: numbers for tenths (31.2, 24.0),
// English words for states.
Json::Value values_json(const RecordValues& values);

// A unit reports its alarm points under the codes its settings'
// appSetting.b_mode selects: that mode (1 or 2), and a point's code under it.
int alarm_code_mode(const Json::Value& unit_settings);
const char* alarm_code(int position, int mode);
const char* alarm_name(int position);

}  // namespace agent
