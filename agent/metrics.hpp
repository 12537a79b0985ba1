// GET /metrics: the site's units in Prometheus's text format (version 0.0.4),
// named by its rules: base units (celsius, a 0 to 1 ratio, seconds), _total
// for counters, no time stamps, every series labelled by site and unit.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/site_state.hpp"
#include "agent/unit_values.hpp"

#include <functional>
#include <string>
#include <vector>

namespace agent {

// Metric families another part of the agent appends whole (the publisher's
// qm_agent_* while it publishes); it writes nothing when it has none.
using MetricsHook = std::function<void(std::string& out)>;

// What is listed beyond the fixed families, from the site file's "http"
// member: each alarm point or the active ones only, and the value keys
// shown as qm_unit_value_* (of those a unit publishes).
struct MetricsShown {
    bool all_alarms = false;
    ShownKeys values;  // none by default
};

// A unit whose data is not current (site_state.hpp) keeps qm_unit_up 0, its
// counters and its last record's time, and loses its value gauges.
std::string render_metrics(const std::string& site, const std::vector<UnitSnapshot>& units, int64_t now_ms,
                           const MetricsHook& extra = {}, const MetricsShown& shown = {});

// The publisher's families, for the hook: whether the broker is connected,
// the rows waiting in the outbox per stream, what was published, replayed
// and dropped unsent.
void render_agent_metrics(const std::string& site, const AgentStatsSnapshot& stats, std::string& out);

// A label value with \, " and line feeds escaped, as the format asks.
std::string label_value(const std::string& text);

}  // namespace agent
