// The site file's "notify" member: the command the agent runs for each event
// of the kinds a site chose, and how long it waits, retries and holds an event
// back. Read and checked here, called by the site file's reader; every refusal
// names the member's path ("notify.hold_s.control: ...").
#pragma once

#include "agent/site_checks.hpp"  // SiteFileError

#include <json/json.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace agent {

struct NotifySettings {
    std::vector<std::string> command;  // argv; [0] an absolute path: run without a shell or a search path
    std::set<std::string> events;      // the kinds told
    // Per kind, how long an event must stand before it is told (ms); kinds
    // not named are told at once. Only the kinds that an opposite kind
    // takes back (notify_hold_kinds) have one.
    std::map<std::string, int64_t> hold_ms;
    int64_t timeout_ms = 10000;  // a command still running then is killed (its process group) and has failed
    int64_t retry_ms = 30000;    // a failed command runs again after this
};

// An event is tried this many times in all; then it is given up as notify_failed.
constexpr int kNotifyAttempts = 3;

// The kinds a site may be told of: every event kind but notify_failed, which
// would tell of the command's failure through the command that failed.
const std::vector<const char*>& notify_event_kinds();

// The kinds that stand until their opposite (same unit, same alarm position)
// comes: only these take a hold-off.
const std::vector<const char*>& notify_hold_kinds();

// `notify` is the member's value, `path` its name in the file ("notify").
// Throws SiteFileError("notify.timeout_s: 0 is not ...").
NotifySettings check_notify_settings(const Json::Value& notify, const std::string& path);

}  // namespace agent
