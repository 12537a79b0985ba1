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

enum class SourceWidth { Byte, Register };

struct ReportPoint {
    const char* member;
    Conversion conversion;
    std::size_t source;   // offset of the cell in the record
    SourceWidth width;
    int text_table;       // for Conversion::Text
    std::size_t source2;  // the x 100 register of Conversion::EnergyTotal
};

constexpr ReportPoint text_point(const char* member, std::size_t source, SourceWidth width, int table)
{
    return {member, Conversion::Text, source, width, table, 0};
}
constexpr ReportPoint tenths_point(const char* member, std::size_t source)
{
    return {member, Conversion::Tenths, source, SourceWidth::Register, 0, 0};
}
constexpr ReportPoint as_read_point(const char* member, std::size_t source)
{
    return {member, Conversion::AsRead, source, SourceWidth::Register, 0, 0};
}
constexpr ReportPoint unpolled_point(const char* member)
{
    return {member, Conversion::Unpolled, 0, SourceWidth::Register, 0, 0};
}
constexpr ReportPoint energy_total_point(const char* member, std::size_t low, std::size_t high)
{
    return {member, Conversion::EnergyTotal, low, SourceWidth::Register, 0, high};
}
constexpr ReportPoint time_text_point(const char* member, std::size_t source)
{
    return {member, Conversion::TimeText, source, SourceWidth::Byte, 0, 0};
}

struct TextTable {
    std::array<const char*, 15> texts;  // by value, from 0
    std::size_t count;
};

inline constexpr const char* kUnlistedText = "无效值";

// clang-format off
inline constexpr std::array<TextTable, 12> kTextTables = {{
    {{}, 0},
    {{"关闭", "开启"}, 2},                                          // 1: outputs
    {{"停止", "运行"}, 2},                                          // 2
    {{"送风", "回风"}, 2},                                          // 3
    {{"关机", "开机"}, 2},                                          // 4
    {{"不排水", "排水"}, 2},                                        // 5
    {{"无故障", "有故障"}, 2},                                      // 6
    {{"停止", "运行", "停机中", "群控待机"}, 4},                    // 7: unit state
    {{"待机", "制冷", "制热", "加湿", "除湿", "除湿温度补偿", "除湿防凝露", "加湿加热",
      "加湿制冷", "除湿制冷", "制冷防凝露"}, 11},                   // 8: current state
    {{"关机", "正常控制", "手动", "压差", "回油", "高压", "高排温", "低吸气", "高吸气",
      "除湿防凝露", "除湿", "强制制冷", "排温限频", "启动过程", "制冷防凝露"}, 15},  // 9: compressor state
    {{"关闭", "断开"}, 2},                                          // 10: input contacts
    {{"常闭", "常开"}, 2},                                          // 11: contact definitions
}};

// The rebuild writes the first kPointsBeforeAlarms points, then the alarm
// members, then the rest.
inline constexpr std::size_t kPointsBeforeAlarms = 31;

inline constexpr std::array<ReportPoint, 139> kPointCatalogue = {{
    text_point("送风机", QM_RECORD_BYTE(bits_256, 0), SourceWidth::Byte, 1),  // 1
    text_point("压缩机1", QM_RECORD_BYTE(bits_256, 1), SourceWidth::Byte, 1),  // 2
    text_point("压缩机2", QM_RECORD_BYTE(bits_256, 2), SourceWidth::Byte, 1),  // 3
    text_point("电加热1", QM_RECORD_BYTE(bits_256, 3), SourceWidth::Byte, 1),  // 4
    text_point("电加热2", QM_RECORD_BYTE(bits_256, 4), SourceWidth::Byte, 1),  // 5
    text_point("1#氟泵", QM_RECORD_BYTE(bits_256, 5), SourceWidth::Byte, 1),  // 6
    text_point("2#氟泵", QM_RECORD_BYTE(bits_256, 6), SourceWidth::Byte, 1),  // 7
    text_point("加湿器电极", QM_RECORD_BYTE(bits_256, 7), SourceWidth::Byte, 1),  // 8
    text_point("加湿进水阀", QM_RECORD_BYTE(bits_256, 8), SourceWidth::Byte, 1),  // 9
    text_point("加湿排水阀", QM_RECORD_BYTE(bits_256, 9), SourceWidth::Byte, 1),  // 10
    text_point("冷凝水泵", QM_RECORD_BYTE(bits_256, 10), SourceWidth::Byte, 1),  // 11
    text_point("报警输出", QM_RECORD_BYTE(bits_256, 11), SourceWidth::Byte, 1),  // 12
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
    text_point("温度控制", QM_RECORD_REG(regs_13, 0), SourceWidth::Register, 3),  // 35
    text_point("开关机", QM_RECORD_BYTE(bits_276, 0), SourceWidth::Byte, 4),  // 36
    text_point("手动排水", QM_RECORD_BYTE(bits_281, 0), SourceWidth::Byte, 5),  // 37
    text_point("故障状态", QM_RECORD_BYTE(bits_277, 0), SourceWidth::Byte, 6),  // 38
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
    text_point("机组状态", QM_RECORD_REG(regs_276, 0), SourceWidth::Register, 7),  // 50
    text_point("当前状态", QM_RECORD_REG(regs_275, 0), SourceWidth::Register, 8),  // 51
    text_point("1#压缩机工作状态", QM_RECORD_REG(regs_274, 0), SourceWidth::Register, 9),  // 52
    text_point("2#压缩机工作状态", QM_RECORD_REG(regs_719, 0), SourceWidth::Register, 9),  // 53
    text_point("当前控制温度", QM_RECORD_REG(regs_628, 0), SourceWidth::Register, 3),  // 54
    text_point("1#电加热工作状态", QM_RECORD_REG(regs_259, 0), SourceWidth::Register, 2),  // 55
    text_point("2#电加热工作状态", QM_RECORD_REG(regs_259, 1), SourceWidth::Register, 2),  // 56
    text_point("送风机工作状态", QM_RECORD_REG(regs_256, 0), SourceWidth::Register, 2),  // 57
    text_point("加湿工作状态", QM_RECORD_REG(regs_263, 0), SourceWidth::Register, 2),  // 58
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
    text_point("输入点状态水浸传感器告警", QM_RECORD_BYTE(bits_512, 0), SourceWidth::Byte, 10),  // 95
    text_point("输入点状态失风报警", QM_RECORD_BYTE(bits_512, 1), SourceWidth::Byte, 10),  // 96
    text_point("输入点状态远程关机", QM_RECORD_BYTE(bits_512, 2), SourceWidth::Byte, 10),  // 97
    text_point("输入点状态滤网压差开关", QM_RECORD_BYTE(bits_512, 3), SourceWidth::Byte, 10),  // 98
    text_point("输入点状态加热器过载", QM_RECORD_BYTE(bits_512, 4), SourceWidth::Byte, 10),  // 99
    text_point("输入点状态压缩机1高压开关", QM_RECORD_BYTE(bits_512, 5), SourceWidth::Byte, 10),  // 100
    text_point("输入点状态压缩机2高压开关", QM_RECORD_BYTE(bits_512, 6), SourceWidth::Byte, 10),  // 101
    text_point("输入点状态电源保护", QM_RECORD_BYTE(bits_512, 7), SourceWidth::Byte, 10),  // 102
    text_point("输入点状态1#风机过载", QM_RECORD_BYTE(bits_512, 8), SourceWidth::Byte, 10),  // 103
    text_point("输入点状态2#风机过载", QM_RECORD_BYTE(bits_512, 9), SourceWidth::Byte, 10),  // 104
    text_point("输入点状态3#风机过载", QM_RECORD_BYTE(bits_512, 10), SourceWidth::Byte, 10),  // 105
    text_point("输入点状态4#风机过载", QM_RECORD_BYTE(bits_512, 11), SourceWidth::Byte, 10),  // 106
    text_point("输入点状态1#氟泵过热报警", QM_RECORD_BYTE(bits_512, 12), SourceWidth::Byte, 10),  // 107
    text_point("输入点状态2#氟泵过热报警", QM_RECORD_BYTE(bits_512, 13), SourceWidth::Byte, 10),  // 108
    text_point("输入点状态烟雾传感器告警", QM_RECORD_BYTE(bits_512, 14), SourceWidth::Byte, 10),  // 109
    text_point("常开/常闭定义水浸传感器告警", QM_RECORD_REG(regs_127, 0), SourceWidth::Register, 11),  // 110
    text_point("常开/常闭定义失风报警", QM_RECORD_REG(regs_127, 1), SourceWidth::Register, 11),  // 111
    text_point("常开/常闭定义远程关机", QM_RECORD_REG(regs_127, 2), SourceWidth::Register, 11),  // 112
    text_point("常开/常闭定义滤网压差开关", QM_RECORD_REG(regs_127, 3), SourceWidth::Register, 11),  // 113
    text_point("常开/常闭定义加热器过载", QM_RECORD_REG(regs_127, 4), SourceWidth::Register, 11),  // 114
    text_point("常开/常闭定义压缩机1高压开关", QM_RECORD_REG(regs_127, 5), SourceWidth::Register, 11),  // 115
    text_point("常开/常闭定义压缩机2高压开关", QM_RECORD_REG(regs_127, 6), SourceWidth::Register, 11),  // 116
    text_point("常开/常闭定义电源保护", QM_RECORD_REG(regs_127, 7), SourceWidth::Register, 11),  // 117
    text_point("常开/常闭定义1#风机过载", QM_RECORD_REG(regs_127, 8), SourceWidth::Register, 11),  // 118
    text_point("常开/常闭定义2#风机过载", QM_RECORD_REG(regs_127, 9), SourceWidth::Register, 11),  // 119
    text_point("常开/常闭定义3#风机过载", QM_RECORD_REG(regs_127, 10), SourceWidth::Register, 11),  // 120
    text_point("常开/常闭定义4#风机过载", QM_RECORD_REG(regs_127, 11), SourceWidth::Register, 11),  // 121
    text_point("常开/常闭定义1#氟泵过热报警", QM_RECORD_REG(regs_127, 12), SourceWidth::Register, 11),  // 122
    text_point("常开/常闭定义2#氟泵过热报警", QM_RECORD_REG(regs_127, 13), SourceWidth::Register, 11),  // 123
    text_point("常开/常闭定义烟雾传感器告警", QM_RECORD_REG(regs_127, 14), SourceWidth::Register, 11),  // 124
    tenths_point("A相电压", QM_RECORD_REG(regs_1516, 0)),  // 125
    tenths_point("B相电压", QM_RECORD_REG(regs_1516, 1)),  // 126
    tenths_point("C相电压", QM_RECORD_REG(regs_1516, 2)),  // 127
    tenths_point("A相电流", QM_RECORD_REG(regs_1516, 3)),  // 128
    tenths_point("B相电流", QM_RECORD_REG(regs_1516, 4)),  // 129
    tenths_point("C相电流", QM_RECORD_REG(regs_1516, 5)),  // 130
    energy_total_point("有功总电量", QM_RECORD_REG(regs_1516, 6), QM_RECORD_REG(regs_1516, 7)),  // 131
    text_point("1#氟泵工作状态", QM_RECORD_REG(regs_261, 0), SourceWidth::Register, 2),  // 132
    text_point("2#氟泵工作状态", QM_RECORD_REG(regs_261, 1), SourceWidth::Register, 2),  // 133
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
        const std::size_t width = p.width == SourceWidth::Register ? 2 : 1;
        if (p.source + width > offsetof(QM4700RX2VA9_Data_t, time) + sizeof(ttime)) return false;
        if (p.conversion == Conversion::Text &&
            (p.text_table < 1 || p.text_table >= static_cast<int>(kTextTables.size())))
            return false;
    }
    return true;
}
static_assert(cells_inside_record(), "a report point reads outside the record or a missing text table");

constexpr bool text_tables_fit()
{
    for (const TextTable& t : kTextTables)
        for (std::size_t i = 0; i < t.count; ++i)
            if (t.texts[i] == nullptr) return false;
    return true;
}
static_assert(text_tables_fit(), "a text table's count runs past its texts");

}  // namespace point_catalogue_checks
