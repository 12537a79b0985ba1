#include "agent/driver_settings.hpp"

#include "host/contract.hpp"

#include <string>

namespace agent {

using namespace site_checks;

namespace {

constexpr char kMode[] = "b_mode";
// The modes the driver knows: 1 and 2 pick the code column its alarm points
// are reported under; 3 leaves them to the "thresholdSetting" rules.
constexpr long long kFirstMode = 1;
constexpr long long kLastMode = 3;
constexpr long long kThresholdMode = 3;
// The parts each threshold entry's alarm id is joined from, in its order.
constexpr const char* kAlarmIdParts[] = {"NMAlarmID", "ID", "SignalNumber"};

// The driver takes the mode as the text's leading number, so "2" and 2 are
// one mode; the file holds one of the modes written plainly.
long long checked_mode(const Json::Value& mode, const Path& path)
{
    if (mode.isString()) {
        const std::string text = mode.asString();
        if (text.size() == 1 && text[0] >= '0' + kFirstMode && text[0] <= '0' + kLastMode) return text[0] - '0';
        refuse(path, shown(mode) + " is not an alarm code mode (1 to 3)");
    }
    return integer_in(mode, path, kFirstMode, kLastMode, "an alarm code mode");
}

// A value the driver turns into text: a string, a number or true/false.
void check_text(const Json::Value& entry, const Path& path, const char* name)
{
    const Json::Value& value = required(entry, path, name);
    if (value.isNull() || value.isArray() || value.isObject())
        refuse(member(path, name), shown(value) + " is not a text or a number");
}

void check_thresholds(const Json::Value& thresholds, const Path& path)
{
    if (!thresholds.isObject() || thresholds.empty())
        refuse(path, shown(thresholds) + " is not an object of alarm rules by key");
    for (const std::string& key : thresholds.getMemberNames()) {
        const Path entry_path = member(path, key);
        const Json::Value& entry = thresholds[key];
        known_members(entry, entry_path, {"SignalName", "NMAlarmID", "ID", "SignalNumber"});
        if (entry.isMember("SignalName")) check_text(entry, entry_path, "SignalName");
        for (const char* part : kAlarmIdParts) check_text(entry, entry_path, part);
    }
}

}  // namespace

void check_driver_settings(const Json::Value& settings, const Path& path)
{
    using namespace contract::settings;
    known_members(settings, path, {kApp, kThresholds});
    long long mode = kFirstMode;
    if (settings.isMember(kApp)) {
        const Json::Value& app = settings[kApp];
        const Path app_path = member(path, kApp);
        known_members(app, app_path, {kMode});
        if (app.isMember(kMode)) mode = checked_mode(app[kMode], member(app_path, kMode));
    }
    if (!settings.isMember(kThresholds)) return;
    const Path thresholds_path = member(path, kThresholds);
    if (mode != kThresholdMode)
        refuse(thresholds_path, "read only when " + member(kApp, kMode) + " is 3 (here " + std::to_string(mode) + ")");
    check_thresholds(settings[kThresholds], thresholds_path);
}

}  // namespace agent
