// qmhost status: one "key: value" line per value with ASCII keys, for people
// and for scripts that grep, from a running agent's /api/status or from the
// unit itself. Both read a record through agent/unit_values, so they agree.
#include "tools/qmhost/agent_client.hpp"
#include "tools/qmhost/agent_status.hpp"
#include "tools/qmhost/commands.hpp"
#include "hosting/hosted_device.hpp"
#include "tools/qmhost/opened_device.hpp"
#include "tools/qmhost/program_output.hpp"

#include "agent/site_state.hpp"
#include "agent/status_json.hpp"
#include "agent/time_text.hpp"
#include "agent/unit_values.hpp"
#include "base/usage_error.hpp"

#include <iostream>
#include <stdexcept>

namespace {

// A number as the API writes it (31.2, 24.0), a text as it is.
std::string value_text(const Json::Value& value)
{
    return value.isString() ? value.asString() : agent::json_text(value);
}

}  // namespace

// Lines for one unit as unit_status_json gives it; false when its data is
// not current (its values are then left out).
bool print_unit_status(std::ostream& out, const Json::Value& unit, bool with_name, const std::vector<std::string>& keys)
{
    const Json::Value& health = unit["health"];
    if (with_name) out << "unit.name: " << unit["name"].asString() << '\n';
    const Json::Value& values = unit["values"];
    if (values.isObject() && keys.empty())
        for (const agent::ShownPoint& point : agent::kShownPoints)
            if (values.isMember(point.key)) out << point.key << ": " << value_text(values[point.key]) << '\n';
    if (values.isObject())
        for (const std::string& key : keys)
            if (values.isMember(key)) out << key << ": " << value_text(values[key]) << '\n';
    const Json::Value& alarms = unit["alarms"];
    if (alarms.isArray()) {
        out << "alarm.count: " << alarms.size() << '\n';
        for (Json::ArrayIndex i = 0; i < alarms.size(); ++i)
            out << "alarm." << i + 1 << ": " << alarms[i]["name"].asString() << '\n';
    }
    const auto last = agent::parse_iso8601_ms(health["last_record"].isString() ? health["last_record"].asString() : "");
    if (last) out << "poll.last: " << agent::iso8601_local(*last) << '\n';
    out << "poll.status: " << agent::state_word(agent::health_state(health)) << '\n';
    return health["current"].asBool();
}

namespace {

void check_keys(const CommandLine& c)
{
    for (const std::string& key : c.status_keys)
        if (!agent::shown_key_place(key))
            throw UsageError("--keys: \"" + key + "\" is not a value key (qmhost keys lists them)");
}

ExitStatus status_from_agent(const CommandLine& c)
{
    const AgentUrl url = parse_agent_url(c.agent.url, c.agent.cafile);
    const Json::Value status = agent_json(agent_request(url, "GET", "/api/status"), "/api/status");
    std::ostream& out = program_output();
    bool all_current = true, found = false;
    for (const Json::Value& unit : status["units"]) {
        if (!c.status_unit.empty() && unit["name"].asString() != c.status_unit) continue;
        if (found) out << '\n';
        found = true;
        if (!print_unit_status(out, unit, c.status_unit.empty(), c.status_keys)) {
            all_current = false;
            std::cerr << "qmhost: " << unit["name"].asString() << ": data stale, values left out" << std::endl;
        }
    }
    out.flush();
    if (!found) throw UsageError("the agent's site has no unit named \"" + c.status_unit + "\"");
    return all_current ? ExitStatus::kOk : ExitStatus::kFailed;
}

// One polling cycle, then the record as the agent would show it.
ExitStatus status_from_unit(const CommandLine& c)
{
    if (!c.status_unit.empty()) throw UsageError("a UNIT name goes with --agent; with a link, the link names the unit");
    OpenedDevice device(c.device);
    const CycleResult cycle = device->run_cycle();
    if (!cycle.completed) throw std::runtime_error("the unit's polling cycle failed: " + cycle.error);
    agent::UnitSnapshot unit;
    unit.slave = device->slave();
    unit.device_id = device->device_id();
    unit.alarm_mode = agent::alarm_code_mode(device.config());
    unit.record = device->outputs().record();
    unit.record_ms = agent::utc_now_ms();
    unit.cycles = 1;
    print_unit_status(program_output(), agent::unit_status_json(unit, unit.record_ms), false, c.status_keys);
    program_output().flush();
    return ExitStatus::kOk;
}

}  // namespace

ExitStatus run_status(const CommandLine& c)
{
    check_keys(c);
    return c.agent.url.empty() ? status_from_unit(c) : status_from_agent(c);
}
