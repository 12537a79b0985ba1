// The point members of the status report in rebuild order, with the record
// cell each is taken from and its conversion, and the state text tables.
#pragma once

#include "driver/record.hpp"

#include <array>
#include <cstddef>

enum class Conversion {
    Text,         // text table lookup, "无效值" for unlisted values
    Tenths,       // unsigned register / 10 in single precision
    AsRead,       // unsigned register as a real
    EnergyTotal,  // high register x 100 + low register, an integer
    TimeText,     // the record's time stamp as y-m-d h:m:s
    Unpolled,     // no register on the unit: a real 0
};

using record_layout::RecordCell;

// The state text tables by what they name; the value is the table's place
// in kTextTables and the number qmhost's point list shows.
enum class Texts : int {
    None,
    Outputs,            // 关闭/开启
    Running,            // 停止/运行
    AirSource,          // 送风/回风
    Power,              // 关机/开机
    Drain,              // 不排水/排水
    Fault,              // 无故障/有故障
    UnitState,
    CurrentState,
    CompressorState,
    InputContact,       // 关闭/断开
    ContactDefinition,  // 常闭/常开
    Count,
};

struct ReportPoint {
    const char* member;
    Conversion conversion;
    RecordCell source;
    Texts text_table;    // for Conversion::Text
    RecordCell source2;  // the x 100 register of Conversion::EnergyTotal
};

inline constexpr RecordCell kNoCell{0, 2};

constexpr ReportPoint text_point(const char* member, RecordCell source, Texts table)
{
    return {member, Conversion::Text, source, table, kNoCell};
}
constexpr ReportPoint tenths_point(const char* member, RecordCell source)
{
    return {member, Conversion::Tenths, source, Texts::None, kNoCell};
}
constexpr ReportPoint as_read_point(const char* member, RecordCell source)
{
    return {member, Conversion::AsRead, source, Texts::None, kNoCell};
}
constexpr ReportPoint unpolled_point(const char* member)
{
    return {member, Conversion::Unpolled, kNoCell, Texts::None, kNoCell};
}
constexpr ReportPoint energy_total_point(const char* member, RecordCell low, RecordCell high)
{
    return {member, Conversion::EnergyTotal, low, Texts::None, high};
}
constexpr ReportPoint time_text_point(const char* member, std::size_t source)
{
    return {member, Conversion::TimeText, RecordCell{source, 1}, Texts::None, kNoCell};
}

struct TextTable {
    std::array<const char*, 15> texts;  // by value, from 0
    std::size_t count;
};

inline constexpr const char* kUnlistedText = "无效值";

// clang-format off
inline constexpr std::array<TextTable, static_cast<std::size_t>(Texts::Count)> kTextTables = {{
    {{}, 0},                                                        // Texts::None
    {{"关闭", "开启"}, 2},                                          // Texts::Outputs
    {{"停止", "运行"}, 2},                                          // Texts::Running
    {{"送风", "回风"}, 2},                                          // Texts::AirSource
    {{"关机", "开机"}, 2},                                          // Texts::Power
    {{"不排水", "排水"}, 2},                                        // Texts::Drain
    {{"无故障", "有故障"}, 2},                                      // Texts::Fault
    {{"停止", "运行", "停机中", "群控待机"}, 4},                    // Texts::UnitState
    {{"待机", "制冷", "制热", "加湿", "除湿", "除湿温度补偿", "除湿防凝露", "加湿加热",
      "加湿制冷", "除湿制冷", "制冷防凝露"}, 11},                   // Texts::CurrentState
    {{"关机", "正常控制", "手动", "压差", "回油", "高压", "高排温", "低吸气", "高吸气",
      "除湿防凝露", "除湿", "强制制冷", "排温限频", "启动过程", "制冷防凝露"}, 15},  // Texts::CompressorState
    {{"关闭", "断开"}, 2},                                          // Texts::InputContact
    {{"常闭", "常开"}, 2},                                          // Texts::ContactDefinition
}};

// The rebuild writes the first kPointsBeforeAlarms points, then the alarm
// members, then the rest.
inline constexpr std::size_t kPointsBeforeAlarms = 31;

inline constexpr std::array<ReportPoint, 139> kPointCatalogue = {{
    text_point("送风机", QM_RECORD_BYTE(bits_256, 0), Texts::Outputs),  // 1
    text_point("压缩机1", QM_RECORD_BYTE(bits_256, 1), Texts::Outputs),  // 2
    text_point("压缩机2", QM_RECORD_BYTE(bits_256, 2), Texts::Outputs),  // 3
    text_point("电加热1", QM_RECORD_BYTE(bits_256, 3), Texts::Outputs),  // 4
    text_point("电加热2", QM_RECORD_BYTE(bits_256, 4), Texts::Outputs),  // 5
    text_point("1#氟泵", QM_RECORD_BYTE(bits_256, 5), Texts::Outputs),  // 6
    text_point("2#氟泵", QM_RECORD_BYTE(bits_256, 6), Texts::Outputs),  // 7
    text_point("加湿器电极", QM_RECORD_BYTE(bits_256, 7), Texts::Outputs),  // 8
    text_point("加湿进水阀", QM_RECORD_BYTE(bits_256, 8), Texts::Outputs),  // 9
    text_point("加湿排水阀", QM_RECORD_BYTE(bits_256, 9), Texts::Outputs),  // 10
    text_point("冷凝水泵", QM_RECORD_BYTE(bits_256, 10), Texts::Outputs),  // 11
    text_point("报警输出", QM_RECORD_BYTE(bits_256, 11), Texts::Outputs),  // 12
    tenths_point("1#吸气温度", QM_RECORD_REG(regs_700, 0)),  // 13
    tenths_point("2#吸气温度", QM_RECORD_REG(regs_700, 1)),  // 14
    tenths_point("1#室外环温/3#送风温度（NTC）", QM_RECORD_REG(regs_700, 2)),  // 15
    tenths_point("1#排气温度", QM_RECORD_REG(regs_700, 3)),  // 16
    tenths_point("2#室外环温/2#回风温度（NTC）", QM_RECORD_REG(regs_700, 4)),  // 17
    tenths_point("2#排气温度/2#送风温度（NTC）", QM_RECORD_REG(regs_700, 5)),  // 18
    as_read_point("地板漏水检测值", QM_RECORD_REG(regs_700, 6)),  // 19
    tenths_point("1#低压压力", QM_RECORD_REG(regs_700, 7)),  // 20
    tenths_point("2#低压压力", QM_RECORD_REG(regs_700, 8)),  // 21
    as_read_point("风压差检测", QM_RECORD_REG(regs_700, 9)),  // 22
    tenths_point("1#高压压力", QM_RECORD_REG(regs_700, 10)),  // 23
    tenths_point("2#高压压力", QM_RECORD_REG(regs_700, 11)),  // 24
    as_read_point("电源电压", QM_RECORD_REG(regs_700, 13)),  // 25
    tenths_point("1#送风温度", QM_RECORD_REG(regs_1500, 0)),  // 26
    tenths_point("送风湿度", QM_RECORD_REG(regs_1500, 1)),  // 27
    tenths_point("1#回风温度", QM_RECORD_REG(regs_1500, 2)),  // 28
    tenths_point("回风湿度", QM_RECORD_REG(regs_1500, 3)),  // 29
    tenths_point("露点温度", QM_RECORD_REG(regs_715, 0)),  // 30
    tenths_point("送风温度运算值", QM_RECORD_REG(regs_732, 0)),  // 31
    // the alarm members and "AlertArray" are written here
    tenths_point("送风温度设定", QM_RECORD_REG(regs_0, 0)),  // 32
    tenths_point("回风温度设定", QM_RECORD_REG(regs_11, 0)),  // 33
    tenths_point("湿度设定", QM_RECORD_REG(regs_1, 0)),  // 34
    text_point("温度控制", QM_RECORD_REG(regs_13, 0), Texts::AirSource),  // 35
    text_point("开关机", QM_RECORD_BYTE(bits_276, 0), Texts::Power),  // 36
    text_point("手动排水", QM_RECORD_BYTE(bits_281, 0), Texts::Drain),  // 37
    text_point("故障状态", QM_RECORD_BYTE(bits_277, 0), Texts::Fault),  // 38
    as_read_point("送风机运行时间", QM_RECORD_REG(regs_720, 0)),  // 39
    as_read_point("加湿器运行时间", QM_RECORD_REG(regs_720, 1)),  // 40
    as_read_point("1#电加热运行时间", QM_RECORD_REG(regs_720, 2)),  // 41
    as_read_point("1#压缩机运行时间", QM_RECORD_REG(regs_720, 3)),  // 42
    as_read_point("水泵运行时间", QM_RECORD_REG(regs_720, 4)),  // 43
    as_read_point("1#外风机运行时间", QM_RECORD_REG(regs_720, 5)),  // 44
    as_read_point("2#外风机运行时间", QM_RECORD_REG(regs_720, 6)),  // 45
    as_read_point("2#压缩机运行时间", QM_RECORD_REG(regs_720, 7)),  // 46
    as_read_point("2#电加热运行时间", QM_RECORD_REG(regs_720, 8)),  // 47
    unpolled_point("1#氟泵运行时间"),  // 48
    unpolled_point("2#氟泵运行时间"),  // 49
    text_point("机组状态", QM_RECORD_REG(regs_276, 0), Texts::UnitState),  // 50
    text_point("当前状态", QM_RECORD_REG(regs_275, 0), Texts::CurrentState),  // 51
    text_point("1#压缩机工作状态", QM_RECORD_REG(regs_274, 0), Texts::CompressorState),  // 52
    text_point("2#压缩机工作状态", QM_RECORD_REG(regs_719, 0), Texts::CompressorState),  // 53
    text_point("当前控制温度", QM_RECORD_REG(regs_628, 0), Texts::AirSource),  // 54
    text_point("1#电加热工作状态", QM_RECORD_REG(regs_259, 0), Texts::Running),  // 55
    text_point("2#电加热工作状态", QM_RECORD_REG(regs_259, 1), Texts::Running),  // 56
    text_point("送风机工作状态", QM_RECORD_REG(regs_256, 0), Texts::Running),  // 57
    text_point("加湿工作状态", QM_RECORD_REG(regs_263, 0), Texts::Running),  // 58
    as_read_point("制冷需求", QM_RECORD_REG(regs_608, 0)),  // 59
    as_read_point("加热需求", QM_RECORD_REG(regs_608, 1)),  // 60
    as_read_point("加湿需求", QM_RECORD_REG(regs_608, 2)),  // 61
    as_read_point("除湿需求", QM_RECORD_REG(regs_608, 3)),  // 62
    tenths_point("1#过热度", QM_RECORD_REG(regs_615, 0)),  // 63
    tenths_point("1#电子膨胀阀需求开度", QM_RECORD_REG(regs_615, 1)),  // 64
    as_read_point("1#电子膨胀阀步数", QM_RECORD_REG(regs_615, 2)),  // 65
    tenths_point("2#过热度", QM_RECORD_REG(regs_770, 0)),  // 66
    tenths_point("2#电子膨胀阀需求开度", QM_RECORD_REG(regs_770, 1)),  // 67
    as_read_point("2#电子膨胀阀步数", QM_RECORD_REG(regs_770, 2)),  // 68
    tenths_point("2#压缩机需求转速", QM_RECORD_REG(regs_606, 0)),  // 69
    tenths_point("1#压缩机需求转速", QM_RECORD_REG(regs_606, 1)),  // 70
    as_read_point("送风机控制转速", QM_RECORD_REG(regs_604, 0)),  // 71
    as_read_point("送风机实际转速1", QM_RECORD_REG(regs_400, 0)),  // 72
    as_read_point("送风机实际转速2", QM_RECORD_REG(regs_400, 1)),  // 73
    as_read_point("送风机实际转速3", QM_RECORD_REG(regs_400, 2)),  // 74
    as_read_point("送风机实际转速4", QM_RECORD_REG(regs_400, 3)),  // 75
    as_read_point("1#外风机输出", QM_RECORD_REG(regs_730, 0)),  // 76
    as_read_point("2#外风机输出", QM_RECORD_REG(regs_730, 1)),  // 76, second register
    as_read_point("加湿比例输出", QM_RECORD_REG(regs_624, 0)),  // 77
    as_read_point("加湿电流", QM_RECORD_REG(regs_712, 0)),  // 78
    tenths_point("1#压缩机反馈转速", QM_RECORD_REG(regs_750, 0)),  // 79
    as_read_point("1#DC母线电压", QM_RECORD_REG(regs_754, 0)),  // 80
    as_read_point("1#AC输入电压", QM_RECORD_REG(regs_754, 1)),  // 81
    as_read_point("1#AC输入电流", QM_RECORD_REG(regs_754, 2)),  // 82
    as_read_point("1#AC输入功率", QM_RECORD_REG(regs_754, 3)),  // 83
    as_read_point("1#压缩机相电流", QM_RECORD_REG(regs_754, 4)),  // 84
    tenths_point("1#功率模块温度", QM_RECORD_REG(regs_760, 0)),  // 85
    tenths_point("1#PFC-IGBT模块温度", QM_RECORD_REG(regs_763, 0)),  // 86
    tenths_point("2#压缩机反馈转速", QM_RECORD_REG(regs_2000, 0)),  // 87
    as_read_point("2#DC母线电压", QM_RECORD_REG(regs_2004, 0)),  // 88
    as_read_point("2#AC输入电压", QM_RECORD_REG(regs_2004, 1)),  // 89
    as_read_point("2#AC输入电流", QM_RECORD_REG(regs_2004, 2)),  // 90
    as_read_point("2#AC输入功率", QM_RECORD_REG(regs_2004, 3)),  // 91
    as_read_point("2#压缩机相电流", QM_RECORD_REG(regs_2004, 4)),  // 92
    tenths_point("2#功率模块温度", QM_RECORD_REG(regs_2010, 0)),  // 93
    tenths_point("2#PFC-IGBT模块温度", QM_RECORD_REG(regs_2013, 0)),  // 94
    text_point("输入点状态水浸传感器告警", QM_RECORD_BYTE(bits_512, 0), Texts::InputContact),  // 95
    text_point("输入点状态失风报警", QM_RECORD_BYTE(bits_512, 1), Texts::InputContact),  // 96
    text_point("输入点状态远程关机", QM_RECORD_BYTE(bits_512, 2), Texts::InputContact),  // 97
    text_point("输入点状态滤网压差开关", QM_RECORD_BYTE(bits_512, 3), Texts::InputContact),  // 98
    text_point("输入点状态加热器过载", QM_RECORD_BYTE(bits_512, 4), Texts::InputContact),  // 99
    text_point("输入点状态压缩机1高压开关", QM_RECORD_BYTE(bits_512, 5), Texts::InputContact),  // 100
    text_point("输入点状态压缩机2高压开关", QM_RECORD_BYTE(bits_512, 6), Texts::InputContact),  // 101
    text_point("输入点状态电源保护", QM_RECORD_BYTE(bits_512, 7), Texts::InputContact),  // 102
    text_point("输入点状态1#风机过载", QM_RECORD_BYTE(bits_512, 8), Texts::InputContact),  // 103
    text_point("输入点状态2#风机过载", QM_RECORD_BYTE(bits_512, 9), Texts::InputContact),  // 104
    text_point("输入点状态3#风机过载", QM_RECORD_BYTE(bits_512, 10), Texts::InputContact),  // 105
    text_point("输入点状态4#风机过载", QM_RECORD_BYTE(bits_512, 11), Texts::InputContact),  // 106
    text_point("输入点状态1#氟泵过热报警", QM_RECORD_BYTE(bits_512, 12), Texts::InputContact),  // 107
    text_point("输入点状态2#氟泵过热报警", QM_RECORD_BYTE(bits_512, 13), Texts::InputContact),  // 108
    text_point("输入点状态烟雾传感器告警", QM_RECORD_BYTE(bits_512, 14), Texts::InputContact),  // 109
    text_point("常开/常闭定义水浸传感器告警", QM_RECORD_REG(regs_127, 0), Texts::ContactDefinition),  // 110
    text_point("常开/常闭定义失风报警", QM_RECORD_REG(regs_127, 1), Texts::ContactDefinition),  // 111
    text_point("常开/常闭定义远程关机", QM_RECORD_REG(regs_127, 2), Texts::ContactDefinition),  // 112
    text_point("常开/常闭定义滤网压差开关", QM_RECORD_REG(regs_127, 3), Texts::ContactDefinition),  // 113
    text_point("常开/常闭定义加热器过载", QM_RECORD_REG(regs_127, 4), Texts::ContactDefinition),  // 114
    text_point("常开/常闭定义压缩机1高压开关", QM_RECORD_REG(regs_127, 5), Texts::ContactDefinition),  // 115
    text_point("常开/常闭定义压缩机2高压开关", QM_RECORD_REG(regs_127, 6), Texts::ContactDefinition),  // 116
    text_point("常开/常闭定义电源保护", QM_RECORD_REG(regs_127, 7), Texts::ContactDefinition),  // 117
    text_point("常开/常闭定义1#风机过载", QM_RECORD_REG(regs_127, 8), Texts::ContactDefinition),  // 118
    text_point("常开/常闭定义2#风机过载", QM_RECORD_REG(regs_127, 9), Texts::ContactDefinition),  // 119
    text_point("常开/常闭定义3#风机过载", QM_RECORD_REG(regs_127, 10), Texts::ContactDefinition),  // 120
    text_point("常开/常闭定义4#风机过载", QM_RECORD_REG(regs_127, 11), Texts::ContactDefinition),  // 121
    text_point("常开/常闭定义1#氟泵过热报警", QM_RECORD_REG(regs_127, 12), Texts::ContactDefinition),  // 122
    text_point("常开/常闭定义2#氟泵过热报警", QM_RECORD_REG(regs_127, 13), Texts::ContactDefinition),  // 123
    text_point("常开/常闭定义烟雾传感器告警", QM_RECORD_REG(regs_127, 14), Texts::ContactDefinition),  // 124
    tenths_point("A相电压", QM_RECORD_REG(regs_1516, 0)),  // 125
    tenths_point("B相电压", QM_RECORD_REG(regs_1516, 1)),  // 126
    tenths_point("C相电压", QM_RECORD_REG(regs_1516, 2)),  // 127
    tenths_point("A相电流", QM_RECORD_REG(regs_1516, 3)),  // 128
    tenths_point("B相电流", QM_RECORD_REG(regs_1516, 4)),  // 129
    tenths_point("C相电流", QM_RECORD_REG(regs_1516, 5)),  // 130
    energy_total_point("有功总电量", QM_RECORD_REG(regs_1516, 6), QM_RECORD_REG(regs_1516, 7)),  // 131
    text_point("1#氟泵工作状态", QM_RECORD_REG(regs_261, 0), Texts::Running),  // 132
    text_point("2#氟泵工作状态", QM_RECORD_REG(regs_261, 1), Texts::Running),  // 133
    as_read_point("1#氟泵比例输出", QM_RECORD_REG(regs_261, 2)),  // 134
    as_read_point("2#氟泵比例输出", QM_RECORD_REG(regs_261, 3)),  // 135
    tenths_point("1#氟泵频率", QM_RECORD_REG(regs_261, 4)),  // 136
    tenths_point("2#氟泵频率", QM_RECORD_REG(regs_261, 5)),  // 137
    time_text_point("更新时间", offsetof(QM4700RX2VA9_Data_t, time)),  // 138
}};
// clang-format on

namespace point_catalogue_checks {

constexpr bool cells_inside_record()
{
    for (const ReportPoint& p : kPointCatalogue) {
        if (p.source.offset + p.source.width > offsetof(QM4700RX2VA9_Data_t, time) + sizeof(ttime))
            return false;
        // Every conversion but a text lookup and the time stamp reads a register.
        const bool any_width = p.conversion == Conversion::Text || p.conversion == Conversion::TimeText;
        if (!any_width && (p.source.width != 2 || p.source2.width != 2)) return false;
        if ((p.conversion == Conversion::Text) != (p.text_table != Texts::None)) return false;
    }
    return true;
}
static_assert(cells_inside_record(),
              "a report point reads outside the record, a register point reads a byte, or a text table is missing");

constexpr bool text_tables_fit()
{
    for (const TextTable& t : kTextTables)
        for (std::size_t i = 0; i < t.count; ++i)
            if (t.texts[i] == nullptr) return false;
    return true;
}
static_assert(text_tables_fit(), "a text table's count runs past its texts");

}  // namespace point_catalogue_checks
