#include "agent/status_json.hpp"

#include "agent/events.hpp"

#include "agent/time_text.hpp"
#include "agent/unit_state.hpp"
#include "agent/unit_values.hpp"

#include <memory>

namespace agent {
namespace {

Json::Value time_or_null(int64_t ms) { return ms ? Json::Value(iso8601_utc_ms(ms)) : Json::Value(); }

Json::Value alarms_json(const std::vector<int>& positions, int mode)
{
    Json::Value alarms(Json::arrayValue);
    for (int position : positions) {
        Json::Value alarm(Json::objectValue);
        alarm["position"] = position;
        alarm["code"] = alarm_code(position, mode);
        alarm["name"] = alarm_name(position);
        alarms.append(alarm);
    }
    return alarms;
}

Json::Value health_json(const UnitSnapshot& unit, int64_t now_ms)
{
    Json::Value health(Json::objectValue);
    health["current"] = is_current(unit, now_ms);
    health[state_word(UnitState::Answering)] = unit.cycles > 0 && unit.failed_in_row == 0;
    health[state_word(UnitState::Lost)] = unit.lost;
    health["failing_since"] = time_or_null(unit.failed_in_row > 0 ? unit.lost_since_ms : 0);
    health["failed_in_row"] = Json::Int64{unit.failed_in_row};
    health["last_error"] = unit.last_error;
    health["last_record"] = time_or_null(unit.record.empty() ? 0 : unit.record_ms);
    health["poll_cycles"] = Json::UInt64{unit.cycles};
    health["poll_failures"] = Json::UInt64{unit.failures};
    health["poll_duration_s"] = static_cast<double>(unit.last_cycle_us) / 1e6;
    return health;
}

Json::Value value_units_json()
{
    Json::Value units(Json::objectValue);
    for (const ShownPoint& point : kShownPoints)
        if (*point.unit) units[point.key] = point.unit;
    return units;
}

}  // namespace

Json::Value unit_status_json(const UnitSnapshot& unit, int64_t now_ms)
{
    Json::Value json(Json::objectValue);
    json["name"] = unit.name;
    json["line"] = static_cast<Json::UInt>(unit.line);
    json["slave"] = unit.slave;
    json["device_id"] = Json::Int64{unit.device_id};
    json["interval_s"] = unit.interval_s;
    json["round_s"] = unit.round_s;
    json["health"] = health_json(unit, now_ms);
    if (is_current(unit, now_ms)) {
        const RecordValues values = read_record_values(unit.record);
        json["local_time"] = unit.local_time;
        json["values"] = values_json(values, unit.keys);
        json["alarms"] = alarms_json(values.active_alarms, unit.alarm_mode);
    }
    return json;
}

UnitState health_state(const Json::Value& health)
{
    if (health[state_word(UnitState::Lost)].asBool()) return UnitState::Lost;
    if (health["failed_in_row"].asInt64() > 0) return UnitState::Failing;
    return health["current"].asBool() ? UnitState::Answering : UnitState::Stale;
}

Json::Value status_json(const AgentFacts& facts, const std::vector<UnitSnapshot>& units, int64_t now_ms,
                        const StatusHook& extra)
{
    Json::Value json(Json::objectValue);
    json["site"] = facts.site;
    json["time"] = iso8601_utc_ms(now_ms);
    Json::Value& agent = json["agent"];
    agent["version"] = facts.version;
    agent["started"] = iso8601_utc_ms(facts.started_ms);
    agent["controls"] = facts.controls;
    if (extra) extra(agent);
    json["value_units"] = value_units_json();
    Json::Value& list = json["units"] = Json::Value(Json::arrayValue);
    for (const UnitSnapshot& unit : units) list.append(unit_status_json(unit, now_ms));
    return json;
}

Json::Value record_summary_json(const StoredRecord& record, const ShownKeys& keys)
{
    Json::Value json(Json::objectValue);
    json["seq"] = Json::Int64{record.seq};
    json["time"] = iso8601_utc_ms(record.ts_ms);
    json["local_time"] = record.local_time;
    try {
        const RecordValues values = read_record_values(record.body);
        json["values"] = values_json(values, keys);
        Json::Value& alarms = json["alarms"] = Json::Value(Json::arrayValue);
        for (int position : values.active_alarms) alarms.append(position);
    } catch (const std::invalid_argument& e) {
        json["error"] = e.what();
    }
    return json;
}

Json::Value event_json(const StoredEvent& event)
{
    Json::Value json(Json::objectValue);
    json["seq"] = Json::Int64{event.seq};
    json["time"] = iso8601_utc_ms(event.ts_ms);
    json["unit"] = event.unit.empty() ? Json::Value() : Json::Value(event.unit);
    json["kind"] = event.kind;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(event.detail.data(), event.detail.data() + event.detail.size(), &json["detail"], nullptr))
        json["detail"] = event.detail;  // kept as text rather than lost
    return json;
}

std::string json_text(const Json::Value& value) { return compact_json(value); }

}  // namespace agent
