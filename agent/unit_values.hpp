// What the agent shows of a unit's record, under ASCII keys: every point of
// the report with a value, read from the record's cells with the catalogue's
// conversion, and the active alarm points. Metrics, the API, the MQTT
// summary, the status page, qmhost status and the history export all read a
// record through here, so they agree to the digit.
#pragma once

#include "driver/record.hpp"

#include <json/json.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agent {

enum class ShownKind {
    Tenths,  // a register of tenths: 312 is 31.2
    State,   // a state from the catalogue's text table, shown as an English word
    Whole,   // a register as read: a whole number
    Total,   // the energy total: high register x 100 + low register, a whole number
};

struct ShownPoint {
    const char* key;     // the ASCII key: "air.return.temperature"
    const char* member;  // the report member it comes from: "1#回风温度"
    ShownKind kind;
    const char* unit;  // of a number, where the member's name says it: "°C", "%RH"; "" otherwise
};

// Every point of the report but its time text ("更新时间", the record's
// time stamp, told beside the values as local_time) and the two pump run
// times the unit has no register for (always 0: a value there would read as
// a pump that never ran). The first eleven in the order qmhost status has
// always printed them, their keys unchanged; the rest in the report's order.
// A unit of measure only where the member's name says it, as qmhost points
// gives it.
// clang-format off
inline constexpr std::array<ShownPoint, 136> kShownPoints = {{
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
    // Outputs, on or off.
    {"output.fan", "送风机", ShownKind::State, ""},
    {"output.compressor.1", "压缩机1", ShownKind::State, ""},
    {"output.compressor.2", "压缩机2", ShownKind::State, ""},
    {"output.heater.1", "电加热1", ShownKind::State, ""},
    {"output.heater.2", "电加热2", ShownKind::State, ""},
    {"output.refrigerant.pump.1", "1#氟泵", ShownKind::State, ""},
    {"output.refrigerant.pump.2", "2#氟泵", ShownKind::State, ""},
    {"output.humidifier.electrode", "加湿器电极", ShownKind::State, ""},
    {"output.humidifier.fill.valve", "加湿进水阀", ShownKind::State, ""},
    {"output.humidifier.drain.valve", "加湿排水阀", ShownKind::State, ""},
    {"output.condensate.pump", "冷凝水泵", ShownKind::State, ""},
    {"output.alarm", "报警输出", ShownKind::State, ""},
    // Sensors.
    {"compressor.1.suction.temperature", "1#吸气温度", ShownKind::Tenths, "°C"},
    {"compressor.2.suction.temperature", "2#吸气温度", ShownKind::Tenths, "°C"},
    {"sensor.ntc.1.temperature", "1#室外环温/3#送风温度（NTC）", ShownKind::Tenths, "°C"},
    {"compressor.1.discharge.temperature", "1#排气温度", ShownKind::Tenths, "°C"},
    {"sensor.ntc.2.temperature", "2#室外环温/2#回风温度（NTC）", ShownKind::Tenths, "°C"},
    {"sensor.ntc.3.temperature", "2#排气温度/2#送风温度（NTC）", ShownKind::Tenths, "°C"},
    {"leak.floor.reading", "地板漏水检测值", ShownKind::Whole, ""},
    {"compressor.1.pressure.low", "1#低压压力", ShownKind::Tenths, ""},
    {"compressor.2.pressure.low", "2#低压压力", ShownKind::Tenths, ""},
    {"air.pressure.difference", "风压差检测", ShownKind::Whole, ""},
    {"compressor.1.pressure.high", "1#高压压力", ShownKind::Tenths, ""},
    {"compressor.2.pressure.high", "2#高压压力", ShownKind::Tenths, ""},
    {"power.voltage", "电源电压", ShownKind::Whole, "V"},
    {"air.dewpoint.temperature", "露点温度", ShownKind::Tenths, "°C"},
    {"air.supply.temperature.computed", "送风温度运算值", ShownKind::Tenths, "°C"},
    {"humidifier.drain.manual", "手动排水", ShownKind::State, ""},
    {"unit.fault", "故障状态", ShownKind::State, ""},
    // Run times.
    {"runtime.fan", "送风机运行时间", ShownKind::Whole, "h"},
    {"runtime.humidifier", "加湿器运行时间", ShownKind::Whole, "h"},
    {"runtime.heater.1", "1#电加热运行时间", ShownKind::Whole, "h"},
    {"runtime.compressor.1", "1#压缩机运行时间", ShownKind::Whole, "h"},
    {"runtime.water.pump", "水泵运行时间", ShownKind::Whole, "h"},
    {"runtime.outdoor.fan.1", "1#外风机运行时间", ShownKind::Whole, "h"},
    {"runtime.outdoor.fan.2", "2#外风机运行时间", ShownKind::Whole, "h"},
    {"runtime.compressor.2", "2#压缩机运行时间", ShownKind::Whole, "h"},
    {"runtime.heater.2", "2#电加热运行时间", ShownKind::Whole, "h"},
    // Working states.
    {"compressor.1.state", "1#压缩机工作状态", ShownKind::State, ""},
    {"compressor.2.state", "2#压缩机工作状态", ShownKind::State, ""},
    {"unit.control.current", "当前控制温度", ShownKind::State, ""},
    {"heater.1.state", "1#电加热工作状态", ShownKind::State, ""},
    {"heater.2.state", "2#电加热工作状态", ShownKind::State, ""},
    {"fan.state", "送风机工作状态", ShownKind::State, ""},
    {"humidifier.state", "加湿工作状态", ShownKind::State, ""},
    {"demand.cooling", "制冷需求", ShownKind::Whole, ""},
    {"demand.heating", "加热需求", ShownKind::Whole, ""},
    {"demand.humidifying", "加湿需求", ShownKind::Whole, ""},
    {"demand.dehumidifying", "除湿需求", ShownKind::Whole, ""},
    // Refrigerant circuits and the compressors' drives.
    {"compressor.1.superheat", "1#过热度", ShownKind::Tenths, "K"},
    {"expansion.valve.1.opening.demand", "1#电子膨胀阀需求开度", ShownKind::Tenths, "%"},
    {"expansion.valve.1.steps", "1#电子膨胀阀步数", ShownKind::Whole, ""},
    {"compressor.2.superheat", "2#过热度", ShownKind::Tenths, "K"},
    {"expansion.valve.2.opening.demand", "2#电子膨胀阀需求开度", ShownKind::Tenths, "%"},
    {"expansion.valve.2.steps", "2#电子膨胀阀步数", ShownKind::Whole, ""},
    {"compressor.2.speed.demand", "2#压缩机需求转速", ShownKind::Tenths, ""},
    {"compressor.1.speed.demand", "1#压缩机需求转速", ShownKind::Tenths, ""},
    {"fan.speed.control", "送风机控制转速", ShownKind::Whole, ""},
    {"fan.speed.1", "送风机实际转速1", ShownKind::Whole, ""},
    {"fan.speed.2", "送风机实际转速2", ShownKind::Whole, ""},
    {"fan.speed.3", "送风机实际转速3", ShownKind::Whole, ""},
    {"fan.speed.4", "送风机实际转速4", ShownKind::Whole, ""},
    {"outdoor.fan.1.output", "1#外风机输出", ShownKind::Whole, ""},
    {"outdoor.fan.2.output", "2#外风机输出", ShownKind::Whole, ""},
    {"humidifier.output", "加湿比例输出", ShownKind::Whole, ""},
    {"humidifier.current", "加湿电流", ShownKind::Whole, "A"},
    {"compressor.1.speed", "1#压缩机反馈转速", ShownKind::Tenths, ""},
    {"drive.1.dc.voltage", "1#DC母线电压", ShownKind::Whole, "V"},
    {"drive.1.ac.voltage", "1#AC输入电压", ShownKind::Whole, "V"},
    {"drive.1.ac.current", "1#AC输入电流", ShownKind::Whole, "A"},
    {"drive.1.ac.power", "1#AC输入功率", ShownKind::Whole, ""},
    {"drive.1.phase.current", "1#压缩机相电流", ShownKind::Whole, "A"},
    {"drive.1.module.temperature", "1#功率模块温度", ShownKind::Tenths, "°C"},
    {"drive.1.pfc.temperature", "1#PFC-IGBT模块温度", ShownKind::Tenths, "°C"},
    {"compressor.2.speed", "2#压缩机反馈转速", ShownKind::Tenths, ""},
    {"drive.2.dc.voltage", "2#DC母线电压", ShownKind::Whole, "V"},
    {"drive.2.ac.voltage", "2#AC输入电压", ShownKind::Whole, "V"},
    {"drive.2.ac.current", "2#AC输入电流", ShownKind::Whole, "A"},
    {"drive.2.ac.power", "2#AC输入功率", ShownKind::Whole, ""},
    {"drive.2.phase.current", "2#压缩机相电流", ShownKind::Whole, "A"},
    {"drive.2.module.temperature", "2#功率模块温度", ShownKind::Tenths, "°C"},
    {"drive.2.pfc.temperature", "2#PFC-IGBT模块温度", ShownKind::Tenths, "°C"},
    // Digital inputs: the contact as read, then how it is wired.
    {"input.leak", "输入点状态水浸传感器告警", ShownKind::State, ""},
    {"input.airflow.loss", "输入点状态失风报警", ShownKind::State, ""},
    {"input.remote.off", "输入点状态远程关机", ShownKind::State, ""},
    {"input.filter", "输入点状态滤网压差开关", ShownKind::State, ""},
    {"input.heater.overload", "输入点状态加热器过载", ShownKind::State, ""},
    {"input.compressor.1.high.pressure", "输入点状态压缩机1高压开关", ShownKind::State, ""},
    {"input.compressor.2.high.pressure", "输入点状态压缩机2高压开关", ShownKind::State, ""},
    {"input.power.protection", "输入点状态电源保护", ShownKind::State, ""},
    {"input.fan.1.overload", "输入点状态1#风机过载", ShownKind::State, ""},
    {"input.fan.2.overload", "输入点状态2#风机过载", ShownKind::State, ""},
    {"input.fan.3.overload", "输入点状态3#风机过载", ShownKind::State, ""},
    {"input.fan.4.overload", "输入点状态4#风机过载", ShownKind::State, ""},
    {"input.refrigerant.pump.1.overheat", "输入点状态1#氟泵过热报警", ShownKind::State, ""},
    {"input.refrigerant.pump.2.overheat", "输入点状态2#氟泵过热报警", ShownKind::State, ""},
    {"input.smoke", "输入点状态烟雾传感器告警", ShownKind::State, ""},
    {"input.leak.contact", "常开/常闭定义水浸传感器告警", ShownKind::State, ""},
    {"input.airflow.loss.contact", "常开/常闭定义失风报警", ShownKind::State, ""},
    {"input.remote.off.contact", "常开/常闭定义远程关机", ShownKind::State, ""},
    {"input.filter.contact", "常开/常闭定义滤网压差开关", ShownKind::State, ""},
    {"input.heater.overload.contact", "常开/常闭定义加热器过载", ShownKind::State, ""},
    {"input.compressor.1.high.pressure.contact", "常开/常闭定义压缩机1高压开关", ShownKind::State, ""},
    {"input.compressor.2.high.pressure.contact", "常开/常闭定义压缩机2高压开关", ShownKind::State, ""},
    {"input.power.protection.contact", "常开/常闭定义电源保护", ShownKind::State, ""},
    {"input.fan.1.overload.contact", "常开/常闭定义1#风机过载", ShownKind::State, ""},
    {"input.fan.2.overload.contact", "常开/常闭定义2#风机过载", ShownKind::State, ""},
    {"input.fan.3.overload.contact", "常开/常闭定义3#风机过载", ShownKind::State, ""},
    {"input.fan.4.overload.contact", "常开/常闭定义4#风机过载", ShownKind::State, ""},
    {"input.refrigerant.pump.1.overheat.contact", "常开/常闭定义1#氟泵过热报警", ShownKind::State, ""},
    {"input.refrigerant.pump.2.overheat.contact", "常开/常闭定义2#氟泵过热报警", ShownKind::State, ""},
    {"input.smoke.contact", "常开/常闭定义烟雾传感器告警", ShownKind::State, ""},
    // The mains meter.
    {"mains.a.voltage", "A相电压", ShownKind::Tenths, "V"},
    {"mains.b.voltage", "B相电压", ShownKind::Tenths, "V"},
    {"mains.c.voltage", "C相电压", ShownKind::Tenths, "V"},
    {"mains.a.current", "A相电流", ShownKind::Tenths, "A"},
    {"mains.b.current", "B相电流", ShownKind::Tenths, "A"},
    {"mains.c.current", "C相电流", ShownKind::Tenths, "A"},
    {"mains.energy", "有功总电量", ShownKind::Total, "kWh"},
    // Refrigerant pumps.
    {"refrigerant.pump.1.state", "1#氟泵工作状态", ShownKind::State, ""},
    {"refrigerant.pump.2.state", "2#氟泵工作状态", ShownKind::State, ""},
    {"refrigerant.pump.1.output", "1#氟泵比例输出", ShownKind::Whole, ""},
    {"refrigerant.pump.2.output", "2#氟泵比例输出", ShownKind::Whole, ""},
    {"refrigerant.pump.1.frequency", "1#氟泵频率", ShownKind::Tenths, "Hz"},
    {"refrigerant.pump.2.frequency", "2#氟泵频率", ShownKind::Tenths, "Hz"},
}};
// clang-format on

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
    uint32_t raw = 0;      // the register, the coil's byte, or the energy total, from the record's integers
    std::string text;      // a state's text as the unit names it (开机), or the number ("31.2", "1520")
    const char* word = ""; // a state in English (on); "" for a number
};

struct RecordValues {
    std::array<ShownValue, kShownPoints.size()> values;
    std::vector<int> active_alarms;  // positions in the alarm catalogue, from 0, ascending
};

// Which keys a unit publishes, by place in kShownPoints; all unless its
// site file entry names some.
using ShownKeys = std::bitset<kShownPoints.size()>;
inline ShownKeys all_shown_keys() { return ShownKeys().set(); }

// The place of a key in kShownPoints; none for a key it does not hold.
std::optional<std::size_t> shown_key_place(const std::string& key);

// Throws std::invalid_argument for anything but a 459-byte record.
RecordValues read_record_values(const std::vector<unsigned char>& record);

// A cell of the record as the unit sent it: a coil's byte, or a register
// (little-endian). The record is whole (459 bytes).
uint16_t cell_value(const std::vector<unsigned char>& record, const record_layout::RecordCell& cell);

// A state's text as a report gives it (开机, 运行, 制冷, ...) in the same
// English word the values above use; null for a text without one.
const char* state_word_of_text(const std::string& text);

// The values as JSON under their keys: numbers for tenths (31.2, 24.0) and
// whole numbers, English words for states; only the keys given.
Json::Value values_json(const RecordValues& values, const ShownKeys& keys = all_shown_keys());

// A value as it is written in JSON text: "31.2", "24.0", "1520", or the
// state's English word; what CSV and qmhost status print.
std::string value_text(const ShownValue& value);

// A unit reports its alarm points under the codes its settings'
// appSetting.b_mode selects: that mode (1 or 2), and a point's code under it.
int alarm_code_mode(const Json::Value& unit_settings);
const char* alarm_code(int position, int mode);
const char* alarm_name(int position);

}  // namespace agent
