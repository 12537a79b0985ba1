// qmhost points: the legend of the report and the alarm point list, walked
// from the driver's own catalogues and polling chain, so it cannot disagree
// with what the driver reports.
#include "tools/qmhost/commands.hpp"
#include "hosting/json_lines.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/report_values.hpp"

#include "driver/catalogues/alarm_catalogue.hpp"
#include "driver/catalogues/point_catalogue.hpp"
#include "driver/polling_chain.hpp"

#include <json/json.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// One record cell named by its field ("regs_700[3]") and by the unit's
// address ("register 703", "coil 17").
struct Cell {
    std::string field;
    std::string address;
    int number = -1;  // the coil or register number
};

Cell cell_at(std::size_t offset)
{
    if (offset == offsetof(QM4700RX2VA9_Data_t, time)) return {"time", "record time stamp"};
    for (const PollRead& read : kPollingChain) {
        if (offset < read.offset || offset >= read.offset + read.size) continue;
        const bool bits = read.kind == ReadKind::Bits;
        const auto index = static_cast<int>((offset - read.offset) / (bits ? 1 : 2));
        const int number = read.address + index;
        return {std::string(read.field) + (read.count > 1 ? "[" + std::to_string(index) + "]" : ""),
                (bits ? "coil " : "register ") + std::to_string(number), number};
    }
    return {"?", "?"};
}

struct MemberRow {
    int position;
    std::string member, source, address, conversion, type, unit;
};

std::string text_table_text(int table)
{
    std::string text = "text table " + std::to_string(table) + ":";
    const TextTable& t = kTextTables[static_cast<std::size_t>(table)];
    for (std::size_t value = 0; value < t.count; ++value)
        text += " " + std::to_string(value) + "=" + t.texts[value] + ";";
    return text + " other=" + kUnlistedText;
}

MemberRow member_row(std::size_t index)
{
    const ReportPoint& p = kPointCatalogue[index];
    MemberRow row{static_cast<int>(index) + 1, p.member, "", "", "", "real", member_unit(p.member)};
    const Cell cell = cell_at(p.source);
    row.source = cell.field;
    row.address = cell.address;
    switch (p.conversion) {
    case Conversion::Text:
        row.conversion = text_table_text(static_cast<int>(p.text_table));
        row.type = "string";
        break;
    case Conversion::Tenths:
        row.conversion = "register / 10 (one decimal)";
        break;
    case Conversion::AsRead:
        row.conversion = "register as read";
        break;
    case Conversion::EnergyTotal: {
        const Cell high = cell_at(p.source2);
        row.source = high.field + " x 100 + " + cell.field;
        row.address = high.address + ", " + cell.address;
        row.conversion = "high register x 100 + low register";
        row.type = "integer";
        break;
    }
    case Conversion::TimeText:
        row.conversion = "record time stamp as y-m-d h:m:s, no leading zeros";
        row.type = "string";
        break;
    case Conversion::Unpolled:
        row.source = row.address = "none";
        row.conversion = "no register on the unit: always 0";
        break;
    }
    return row;
}

struct AlarmRow {
    int position;  // from 0, as the events, metrics, API and messages number the points
    std::string mode1_code, mode2_code, mode1_code_name, mode2_code_name, alarm_name, source;
    int coil;
    std::vector<int> mode1_shared_with;  // the other points with this mode-1 code
};

// The catalogue gives a few mode-1 codes to two alarm points each: an
// import keyed on that code must be told.
std::vector<int> sharing_mode1_code(std::size_t index)
{
    std::vector<int> others;
    for (std::size_t i = 0; i < kAlarmCatalogue.size(); ++i)
        if (i != index && std::string(kAlarmCatalogue[i].mode1_code) == kAlarmCatalogue[index].mode1_code)
            others.push_back(static_cast<int>(i));
    return others;
}

AlarmRow alarm_row(std::size_t index)
{
    const AlarmPoint& a = kAlarmCatalogue[index];
    const Cell cell = cell_at(a.source);
    return {static_cast<int>(index),
            a.mode1_code,
            a.mode2_code,
            a.mode1_code_name ? a.mode1_code_name : a.alarm_name,
            a.mode2_code_name ? a.mode2_code_name : a.alarm_name,
            a.alarm_name,
            cell.field,
            cell.number,
            sharing_mode1_code(index)};
}

std::string position_list(const std::vector<int>& positions)
{
    std::string text;
    for (int position : positions) text += (text.empty() ? "" : " ") + std::to_string(position);
    return text;
}

// RFC 4180: quoted when the field holds a comma, a quote or a line break.
std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void write_csv_line(std::ostream& out, const std::vector<std::string>& fields)
{
    for (std::size_t i = 0; i < fields.size(); ++i) out << (i ? "," : "") << csv_field(fields[i]);
    out << "\r\n";
}

// A spreadsheet program reads a 12-digit code as a number (6.02E+11) and
// drops leading zeros; as the formula ="CODE" it shows the code as text.
std::string code_field(const std::string& code, bool spreadsheet)
{
    return spreadsheet ? "=\"" + code + "\"" : code;
}

void write_csv(std::ostream& out, const PointsOptions& o)
{
    // The byte-order mark tells a spreadsheet program the file is UTF-8.
    if (o.bom) out << "\xEF\xBB\xBF";
    if (o.members) {
        write_csv_line(out, {"no", "member", "source", "address", "conversion", "type", "unit"});
        for (std::size_t i = 0; i < kPointCatalogue.size(); ++i) {
            const MemberRow r = member_row(i);
            write_csv_line(out,
                           {std::to_string(r.position), r.member, r.source, r.address, r.conversion, r.type, r.unit});
        }
        return;
    }
    write_csv_line(out, {"position", "mode1_code", "mode2_code", "mode1_code_name", "mode2_code_name", "alarm_name",
                         "source", "coil", "mode1_code_shared_with"});
    for (std::size_t i = 0; i < kAlarmCatalogue.size(); ++i) {
        const AlarmRow r = alarm_row(i);
        write_csv_line(out, {std::to_string(r.position), code_field(r.mode1_code, o.bom),
                             code_field(r.mode2_code, o.bom), r.mode1_code_name, r.mode2_code_name, r.alarm_name,
                             r.source, std::to_string(r.coil), position_list(r.mode1_shared_with)});
    }
}

void write_text(std::ostream& out)
{
    out << "Report members (" << kPointCatalogue.size() << "; the " << kAlarmCatalogue.size()
        << " alarm members, each \"正常\" or \"告警\", and the object \"AlertArray\" of the same names as"
        << " booleans, follow member " << kPointsBeforeAlarms << "):\n";
    for (std::size_t i = 0; i < kPointCatalogue.size(); ++i) {
        const MemberRow r = member_row(i);
        out << "  " << r.position << "  " << r.member << "  " << r.address;
        if (r.source != r.address) out << " (" << r.source << ")";
        out << "  " << r.conversion << "  " << r.type << (r.unit.empty() ? "" : "  " + r.unit) << '\n';
    }
    out << "\nAlarm points (" << kAlarmCatalogue.size()
        << ", by position from 0 as events and messages give it; code and code name under b_mode 1, then under b_mode 2; active when the coil is set):\n";
    for (std::size_t i = 0; i < kAlarmCatalogue.size(); ++i) {
        const AlarmRow r = alarm_row(i);
        out << "  " << r.position << "  " << r.alarm_name << "  coil " << r.coil << " (" << r.source << ")  "
            << r.mode1_code << " " << r.mode1_code_name << "  " << r.mode2_code << " " << r.mode2_code_name;
        if (!r.mode1_shared_with.empty()) out << "  (mode-1 code shared with " << position_list(r.mode1_shared_with) << ")";
        out << '\n';
    }
}

void write_json(std::ostream& out)
{
    Json::Value document(Json::objectValue);
    Json::Value& members = document["members"] = Json::Value(Json::arrayValue);
    for (std::size_t i = 0; i < kPointCatalogue.size(); ++i) {
        const MemberRow r = member_row(i);
        Json::Value& m = members.append(Json::Value(Json::objectValue));
        m["no"] = r.position;
        m["member"] = r.member;
        m["source"] = r.source;
        m["address"] = r.address;
        m["conversion"] = r.conversion;
        m["type"] = r.type;
        m["unit"] = r.unit;
    }
    Json::Value& alarms = document["alarms"] = Json::Value(Json::arrayValue);
    for (std::size_t i = 0; i < kAlarmCatalogue.size(); ++i) {
        const AlarmRow r = alarm_row(i);
        Json::Value& a = alarms.append(Json::Value(Json::objectValue));
        a["position"] = r.position;
        a["mode1_code"] = r.mode1_code;
        a["mode2_code"] = r.mode2_code;
        a["mode1_code_name"] = r.mode1_code_name;
        a["mode2_code_name"] = r.mode2_code_name;
        a["alarm_name"] = r.alarm_name;
        a["source"] = r.source;
        a["coil"] = r.coil;
        Json::Value& shared = a["mode1_code_shared_with"] = Json::Value(Json::arrayValue);
        for (int position : r.mode1_shared_with) shared.append(position);
    }
    out << JsonLines().line(document);
}

}  // namespace

ExitStatus run_points(const CommandLine& c)
{
    std::ostream& out = program_output();
    switch (c.points.format) {
    case PointsOptions::Format::Csv:
        write_csv(out, c.points);
        break;
    case PointsOptions::Format::Json:
        write_json(out);
        break;
    case PointsOptions::Format::Text:
        write_text(out);
        break;
    }
    out.flush();
    return ExitStatus::kOk;
}
