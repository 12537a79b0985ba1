// The HTTP API's documents: the site's status (GET /api/status), a unit's
// stored records as summaries and the stored events. ASCII keys, numbers as
// the unit means them (31.2, 24.0), times in ISO 8601 UTC.
#pragma once

#include "agent/site_state.hpp"
#include "agent/store_reader.hpp"
#include "agent/unit_state.hpp"

#include <json/json.h>

#include <functional>
#include <string>
#include <vector>

namespace agent {

struct AgentFacts {
    std::string site;
    std::string version;
    int64_t started_ms = 0;
    bool controls = false;  // a control token is configured
};

// Members another part of the agent adds to "agent" (the publisher's state).
using StatusHook = std::function<void(Json::Value& agent)>;

Json::Value status_json(const AgentFacts& facts, const std::vector<UnitSnapshot>& units, int64_t now_ms,
                        const StatusHook& extra = {});

// One unit: its place in the site, its health, and its values and active
// alarms while its data is current (site_state.hpp).
Json::Value unit_status_json(const UnitSnapshot& unit, int64_t now_ms);

// The state a unit's "health" object tells (unit_state.hpp).
UnitState health_state(const Json::Value& health);

// A stored record as the API gives it: seq, time, local_time, values, alarms.
Json::Value record_summary_json(const StoredRecord& record, const ShownKeys& keys = all_shown_keys());
Json::Value event_json(const StoredEvent& event);

// One line of UTF-8, numbers to 15 significant digits (31.2, not 31.199999999999999).
std::string json_text(const Json::Value& value);

}  // namespace agent
