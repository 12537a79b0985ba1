#include "agent/notify_settings.hpp"

#include "agent/events.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace agent {

using namespace site_checks;

namespace {

constexpr std::size_t kMaxArguments = 64;
constexpr std::size_t kMaxArgumentBytes = 4096;
constexpr double kMinTimeoutS = 0.1;
constexpr double kMaxTimeoutS = 600;
constexpr double kMinRetryS = 0.1;
constexpr double kMaxRetryS = 3600;
constexpr double kMaxHoldS = 86400;

bool listed(const std::vector<const char*>& kinds, const std::string& kind)
{
    return std::any_of(kinds.begin(), kinds.end(), [&kind](const char* k) { return kind == k; });
}

std::string kinds_text(const std::vector<const char*>& kinds)
{
    std::string text;
    for (const char* kind : kinds) text += (text.empty() ? "" : ", ") + std::string(kind);
    return text;
}

int64_t seconds_in(const Json::Value& value, const Path& path, double low, double high)
{
    if (!value.isNumeric() || !std::isfinite(value.asDouble()) || value.asDouble() < low || value.asDouble() > high) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", low, high);
        refuse(path, shown(value) + " is not a number of seconds (" + std::string(range) + ")");
    }
    return std::llround(value.asDouble() * 1000);
}

std::vector<std::string> check_command(const Json::Value& command, const Path& path)
{
    if (!command.isArray() || command.empty() || command.size() > kMaxArguments)
        refuse(path, "must be a list of 1 to " + std::to_string(kMaxArguments) + " texts: the program and its arguments");
    std::vector<std::string> argv;
    for (Json::ArrayIndex i = 0; i < command.size(); ++i) {
        const Json::Value& argument = command[i];
        if (!argument.isString() || argument.asString().size() > kMaxArgumentBytes ||
            argument.asString().find('\0') != std::string::npos)
            refuse(item(path, i), shown(argument) + " is not an argument (a text of at most 4096 bytes)");
        argv.push_back(argument.asString());
    }
    if (argv[0].empty() || argv[0][0] != '/')
        refuse(item(path, 0), shown(command[0]) +
                                  " is not an absolute path: the command runs without a shell or a search path");
    return argv;
}

std::set<std::string> check_events(const Json::Value& events, const Path& path)
{
    if (!events.isArray() || events.empty()) refuse(path, "must be a list of event kinds");
    std::set<std::string> kinds;
    for (Json::ArrayIndex i = 0; i < events.size(); ++i) {
        const Json::Value& kind = events[i];
        if (kind.isString() && kind.asString() == event_kind::kNotifyFailed)
            refuse(item(path, i), "notify_failed is never told through the command (it is the command failing)");
        if (!kind.isString() || !listed(notify_event_kinds(), kind.asString()))
            refuse(item(path, i), shown(kind) + " is not an event kind (" + kinds_text(notify_event_kinds()) + ")");
        if (!kinds.insert(kind.asString()).second) refuse(item(path, i), shown(kind) + " is named twice");
    }
    return kinds;
}

}  // namespace

const std::vector<const char*>& notify_event_kinds()
{
    static const std::vector<const char*> kinds = {
        event_kind::kAlarmRaised,   event_kind::kAlarmCleared,     event_kind::kUnitLost,
        event_kind::kUnitBack,      event_kind::kControl,          event_kind::kRecordsDropped,
        event_kind::kStoreError,    event_kind::kAgentStarted,     event_kind::kAgentStopped,
        event_kind::kSiteReloaded,  event_kind::kReloadRefused,    event_kind::kStoreRecovered,
        event_kind::kStoreBehindCentre, event_kind::kClockStep,
    };
    return kinds;
}

const std::vector<const char*>& notify_hold_kinds()
{
    static const std::vector<const char*> kinds = {event_kind::kAlarmRaised, event_kind::kAlarmCleared,
                                                   event_kind::kUnitLost, event_kind::kUnitBack};
    return kinds;
}

NotifySettings check_notify_settings(const Json::Value& notify, const std::string& path)
{
    if (!notify.isObject()) refuse(path, shown(notify) + " is not an object");
    known_members(notify, path, {"command", "events", "hold_s", "timeout_s", "retry_s"});
    NotifySettings settings;
    settings.command = check_command(required(notify, path, "command"), member(path, "command"));
    settings.events = check_events(required(notify, path, "events"), member(path, "events"));
    if (notify.isMember("timeout_s"))
        settings.timeout_ms = seconds_in(notify["timeout_s"], member(path, "timeout_s"), kMinTimeoutS, kMaxTimeoutS);
    if (notify.isMember("retry_s"))
        settings.retry_ms = seconds_in(notify["retry_s"], member(path, "retry_s"), kMinRetryS, kMaxRetryS);
    if (notify.isMember("hold_s")) {
        const Json::Value& hold = notify["hold_s"];
        const Path hold_path = member(path, "hold_s");
        if (!hold.isObject()) refuse(hold_path, shown(hold) + " is not an object (seconds by event kind)");
        for (const std::string& kind : hold.getMemberNames()) {
            if (!listed(notify_hold_kinds(), kind))
                refuse(hold_path, shown(Json::Value(kind)) + ": only " + kinds_text(notify_hold_kinds()) +
                                      " are held back (each stands until its opposite comes)");
            const Path kind_path = member(hold_path, kind);
            if (settings.events.count(kind) == 0) refuse(kind_path, kind + " is not in notify.events");
            settings.hold_ms[kind] = seconds_in(hold[kind], kind_path, 0, kMaxHoldS);
        }
    }
    return settings;
}

}  // namespace agent
