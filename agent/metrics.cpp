#include "agent/metrics.hpp"

#include "agent/decimal_text.hpp"
#include "agent/process_metrics.hpp"
#include "agent/unit_values.hpp"
#include "driver/catalogues/alarm_catalogue.hpp"

#include <optional>

namespace agent {
namespace {

// A unit as the families see it: its snapshot, and its values when current.
struct ShownUnit {
    const UnitSnapshot* snapshot;
    std::string labels;  // site="...",unit="..."
    std::optional<RecordValues> values;
};

void family(std::string& out, const char* name, const char* type, const char* help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, const char* name, const std::string& labels, const std::string& value)
{
    out.append(name).append("{").append(labels).append("} ").append(value).append("\n");
}

using ValueOf = std::string (*)(const RecordValues&);

struct ValueFamily {
    const char* name;
    const char* help;
    const char* sensor;  // the sensor label, or null
    ValueOf value;
};

std::string tenths_of(const RecordValues& v, Shown point) { return decimal_text(v.values[point].raw, 1); }
// Tenths of %RH as a 0 to 1 ratio: 480 is 48.0 %RH is 0.48.
std::string ratio_of(const RecordValues& v, Shown point) { return shortest_decimal_text(v.values[point].raw, 3); }

constexpr const char* kTemperatureHelp = "Air temperature at the unit's sensor, in degrees Celsius.";
constexpr const char* kHumidityHelp = "Relative humidity at the unit's sensor, as a ratio from 0 to 1.";

const ValueFamily kValueFamilies[] = {
    {"qm_unit_air_temperature_celsius", kTemperatureHelp, "return",
     [](const RecordValues& v) { return tenths_of(v, kReturnTemperature); }},
    {"qm_unit_air_temperature_celsius", kTemperatureHelp, "supply",
     [](const RecordValues& v) { return tenths_of(v, kSupplyTemperature); }},
    {"qm_unit_air_humidity_ratio", kHumidityHelp, "return",
     [](const RecordValues& v) { return ratio_of(v, kReturnHumidity); }},
    {"qm_unit_air_humidity_ratio", kHumidityHelp, "supply",
     [](const RecordValues& v) { return ratio_of(v, kSupplyHumidity); }},
    {"qm_unit_temperature_setpoint_celsius", "The unit's return-air temperature setpoint, in degrees Celsius.",
     nullptr, [](const RecordValues& v) { return tenths_of(v, kTemperatureSetpoint); }},
    {"qm_unit_humidity_setpoint_ratio", "The unit's humidity setpoint, as a ratio from 0 to 1.", nullptr,
     [](const RecordValues& v) { return ratio_of(v, kHumiditySetpoint); }},
    {"qm_unit_running", "1 while the unit reports itself running, else 0.", nullptr,
     [](const RecordValues& v) { return std::string(v.values[kUnitRun].raw == 1 ? "1" : "0"); }},
    {"qm_unit_alarms_active", "The unit's alarm points that are active.", nullptr,
     [](const RecordValues& v) { return std::to_string(v.active_alarms.size()); }},
};

void value_families(std::string& out, const std::vector<ShownUnit>& units)
{
    const char* open = nullptr;
    for (const ValueFamily& f : kValueFamilies) {
        if (!open || std::string(open) != f.name) family(out, f.name, "gauge", f.help);
        open = f.name;
        for (const ShownUnit& unit : units) {
            if (!unit.values) continue;
            const std::string labels =
                f.sensor ? unit.labels + ",sensor=\"" + f.sensor + "\"" : unit.labels;
            sample(out, f.name, labels, f.value(*unit.values));
        }
    }
}

// Every shown value, numbers by their unit of measure in the family's name
// (in base units: hours as seconds, kWh as joules, percent as a ratio) with
// the key as a label; states as their code with the English word a label.
struct MeasureFamily {
    const char* unit;  // as kShownPoints gives it
    const char* name;
    const char* help;
    int64_t factor;    // into the family's unit
    int decimals;      // moved, as a percent becomes a ratio
};

const MeasureFamily kMeasureFamilies[] = {
    {"°C", "qm_unit_value_celsius", "The unit's temperatures, in degrees Celsius, by key.", 1, 0},
    {"K", "qm_unit_value_kelvin", "The unit's temperature differences, in kelvin, by key.", 1, 0},
    {"%RH", "qm_unit_value_ratio", "The unit's humidities and openings, as a ratio from 0 to 1, by key.", 1, 2},
    {"%", "qm_unit_value_ratio", nullptr, 1, 2},
    {"V", "qm_unit_value_volts", "The unit's voltages, in volts, by key.", 1, 0},
    {"A", "qm_unit_value_amperes", "The unit's currents, in amperes, by key.", 1, 0},
    {"Hz", "qm_unit_value_hertz", "The unit's frequencies, in hertz, by key.", 1, 0},
    {"h", "qm_unit_value_seconds", "The unit's run times, in seconds (the unit counts whole hours), by key.", 3600, 0},
    {"kWh", "qm_unit_value_joules", "The unit's energy meter, in joules (the unit counts kWh), by key.", 3'600'000, 0},
    {"", "qm_unit_value", "The unit's values whose unit of measure its record does not give, as read, by key.", 1, 0},
};

std::string measured_text(const ShownValue& value, ShownKind kind, const MeasureFamily& f)
{
    const int decimals = (kind == ShownKind::Tenths ? 1 : 0) + f.decimals;
    return shortest_decimal_text(static_cast<int64_t>(value.raw) * f.factor, decimals);
}

void shown_value_families(std::string& out, const std::vector<ShownUnit>& units, const ShownKeys& listed)
{
    for (const MeasureFamily& f : kMeasureFamilies) {
        if (f.help) family(out, f.name, "gauge", f.help);
        for (const ShownUnit& unit : units) {
            if (!unit.values) continue;
            for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
                const ShownPoint& point = kShownPoints[i];
                if (point.kind == ShownKind::State || std::string(point.unit) != f.unit || !unit.snapshot->keys.test(i) ||
                    !listed.test(i))
                    continue;
                sample(out, f.name, unit.labels + ",key=\"" + point.key + "\"",
                       measured_text(unit.values->values[i], point.kind, f));
            }
        }
    }
    family(out, "qm_unit_value_state", "gauge",
           "The unit's states by key: the code the unit reports, its English word the state label.");
    for (const ShownUnit& unit : units) {
        if (!unit.values) continue;
        for (std::size_t i = 0; i < kShownPoints.size(); ++i) {
            if (kShownPoints[i].kind != ShownKind::State || !unit.snapshot->keys.test(i) || !listed.test(i)) continue;
            const ShownValue& value = unit.values->values[i];
            sample(out, "qm_unit_value_state",
                   unit.labels + ",key=\"" + kShownPoints[i].key + "\",state=\"" + label_value(value.word) + "\"",
                   std::to_string(value.raw));
        }
    }
}

// An inactive point's 0 is a series the centre stores for nothing, so by
// default only active points are listed; qm_unit_alarms_active counts them.
void alarm_family(std::string& out, const std::vector<ShownUnit>& units, bool all)
{
    family(out, "qm_unit_alarm_active", "gauge",
           all ? "1 while the alarm point is active, else 0; all 180 points."
               : "1 for each alarm point that is active; inactive points are not listed.");
    for (const ShownUnit& unit : units) {
        if (!unit.values) continue;
        auto active = unit.values->active_alarms.begin();
        for (int position = 0; position < static_cast<int>(kAlarmPointCount); ++position) {
            const bool on = active != unit.values->active_alarms.end() && *active == position;
            if (on) ++active;
            if (!on && !all) continue;
            out.append("qm_unit_alarm_active{").append(unit.labels).append(",position=\"");
            out.append(std::to_string(position)).append("\",code=\"");
            out.append(alarm_code(position, unit.snapshot->alarm_mode)).append("\",name=\"");
            out.append(label_value(alarm_name(position))).append(on ? "\"} 1\n" : "\"} 0\n");
        }
    }
}

void health_families(std::string& out, const std::vector<ShownUnit>& units)
{
    family(out, "qm_unit_up", "gauge", "1 while the unit's last record is newer than three of its polling cycles.");
    for (const ShownUnit& u : units) sample(out, "qm_unit_up", u.labels, u.values ? "1" : "0");
    family(out, "qm_unit_last_record_timestamp_seconds", "gauge",
           "When the agent received the unit's last record, in seconds since 1970 (UTC).");
    for (const ShownUnit& u : units)
        if (!u.snapshot->record.empty())
            sample(out, "qm_unit_last_record_timestamp_seconds", u.labels,
                   shortest_decimal_text(u.snapshot->record_ms, 3));
    family(out, "qm_unit_poll_cycles_total", "counter", "Polling cycles attempted on the unit since the agent started.");
    for (const ShownUnit& u : units) sample(out, "qm_unit_poll_cycles_total", u.labels, std::to_string(u.snapshot->cycles));
    family(out, "qm_unit_poll_failures_total", "counter", "Polling cycles on the unit that failed.");
    for (const ShownUnit& u : units)
        sample(out, "qm_unit_poll_failures_total", u.labels, std::to_string(u.snapshot->failures));
    family(out, "qm_unit_poll_duration_seconds", "gauge", "How long the unit's last polling cycle took, in seconds.");
    for (const ShownUnit& u : units)
        if (u.snapshot->cycles > 0)
            sample(out, "qm_unit_poll_duration_seconds", u.labels, shortest_decimal_text(u.snapshot->last_cycle_us, 6));
}

// Where each unit is, for joins: its line (its place in the site file, as
// the API's "line"), slave id and device id; kept while the unit is down.
void unit_info_family(std::string& out, const std::vector<ShownUnit>& units)
{
    family(out, "qm_unit_info", "gauge", "The unit's line (from 0, in site file order), slave id and device id; always 1.");
    for (const ShownUnit& u : units)
        sample(out, "qm_unit_info",
               u.labels + ",line=\"" + std::to_string(u.snapshot->line) + "\",slave=\"" +
                   std::to_string(u.snapshot->slave) + "\",device_id=\"" + std::to_string(u.snapshot->device_id) + "\"",
               "1");
}

}  // namespace

void render_agent_metrics(const std::string& site, const AgentStatsSnapshot& stats, std::string& out)
{
    const std::string labels = "site=\"" + label_value(site) + "\"";
    const auto count = [](int64_t n) { return std::to_string(n); };
    family(out, "qm_agent_broker_connected", "gauge", "1 while the agent is connected to its MQTT broker, else 0.");
    sample(out, "qm_agent_broker_connected", labels, stats.broker_connected ? "1" : "0");
    family(out, "qm_agent_outbox_rows", "gauge", "Rows in the store the monitoring centre has not confirmed yet.");
    sample(out, "qm_agent_outbox_rows", labels + ",stream=\"record\"", count(stats.outbox_records));
    sample(out, "qm_agent_outbox_rows", labels + ",stream=\"event\"", count(stats.outbox_events));
    family(out, "qm_agent_published_total", "counter", "Records and events handed to the broker, replays included.");
    sample(out, "qm_agent_published_total", labels, count(stats.published_total));
    family(out, "qm_agent_replayed_total", "counter", "Rows sent again as the centre had not confirmed them in time.");
    sample(out, "qm_agent_replayed_total", labels, count(stats.replayed_total));
    family(out, "qm_agent_dropped_rows_total", "counter",
           "Records the store made room for before the centre confirmed them.");
    sample(out, "qm_agent_dropped_rows_total", labels, count(stats.dropped_records_total));
    family(out, "qm_agent_refused_messages_total", "counter",
           "Messages from the broker refused unread (malformed, out of range, or confirming rows not yet sent).");
    for (const RefusalForm& form : kRefusalForms)
        if (form.agent)
            sample(out, "qm_agent_refused_messages_total", labels + ",reason=\"" + form.word + "\"",
                   count(stats.refused_messages[refusal_index(form.refusal)]));
}

std::string label_value(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '"') escaped += "\\\"";
        else if (c == '\n') escaped += "\\n";
        else escaped += c;
    }
    return escaped;
}

std::string render_metrics(const std::string& site, const std::vector<UnitSnapshot>& units, int64_t now_ms,
                           const MetricsHook& extra, const MetricsShown& listed)
{
    std::vector<ShownUnit> shown;
    shown.reserve(units.size());
    for (const UnitSnapshot& unit : units) {
        ShownUnit s{&unit, "site=\"" + label_value(site) + "\",unit=\"" + label_value(unit.name) + "\"", std::nullopt};
        if (is_current(unit, now_ms)) s.values = read_record_values(unit.record);
        shown.push_back(std::move(s));
    }
    std::string out;
    const std::size_t alarm_bytes = listed.all_alarms ? kAlarmPointCount * 140 : 0;
    out.reserve(4096 + units.size() * (alarm_bytes + listed.values.count() * 110 + 2048));
    family(out, "qm_build_info", "gauge", "The agent's version; always 1.");
    out.append("qm_build_info{version=\"").append(label_value(QM_VERSION)).append("\"} 1\n");
    health_families(out, shown);
    value_families(out, shown);
    shown_value_families(out, shown, listed.values);
    alarm_family(out, shown, listed.all_alarms);
    unit_info_family(out, shown);
    render_process_metrics(out);
    if (extra) extra(out);
    return out;
}

}  // namespace agent
