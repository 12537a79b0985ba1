// What qmhost's commands share when they go through a running agent.
#pragma once

#include "tools/qmhost/agent_client.hpp"

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The answer's JSON document; throws std::runtime_error naming `what` when
// the agent answered an error or something that is not JSON.
Json::Value agent_json(const AgentAnswer& answer, const std::string& what);

// A unit's lines as qmhost status prints them, from its entry in
// /api/status; false when its data is not current. `keys`: the values to
// print, in that order; empty: every value the entry has.
bool print_unit_status(std::ostream& out, const Json::Value& unit, bool with_name,
                       const std::vector<std::string>& keys = {});

// A control's answer from the agent: what the driver did, as a direct
// control would have seen it, and the exit status the agent worked out.
struct AgentControlAnswer {
    int handed = 0;
    bool wrote = false;
    std::optional<int32_t> result;
    int exit_status = 1;
    std::string message;
};

// POST /api/units/UNIT/control with the token (`force`: a setpoint outside
// the plausible range, as --force); throws UsageError when the
// agent refuses the command line's part (no such unit, bad input: exit 2)
// and std::runtime_error when it refuses the token or cannot run it now.
AgentControlAnswer post_agent_control(const AgentUrl& url, const std::string& unit,
                                      const std::string& token_file, int code, const std::vector<unsigned char>& input,
                                      bool force);

// The unit's entry in /api/status once it holds a record received after
// `after_ms` (UTC), waiting up to `wait_ms`; null when none came.
Json::Value next_unit_status(const AgentUrl& url, const std::string& unit, int64_t after_ms, int wait_ms);
