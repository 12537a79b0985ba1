#include "agent/site_file.hpp"

#include "agent/driver_settings.hpp"
#include "agent/mqtt_messages.hpp"
#include "base/json_file.hpp"
#include "base/sha256.hpp"

#include <array>
#include <sstream>

namespace agent {

using namespace site_checks;

namespace {

constexpr std::size_t kMaxLines = 64;
constexpr std::size_t kMaxUnitsPerLine = 247;  // one per slave id
constexpr std::size_t kMaxNameLength = 64;
constexpr double kMinIntervalS = 0.1;
constexpr double kMaxIntervalS = 86400;
constexpr int kMaxKeepDays = 3650;
constexpr int kMaxStoreMb = 1 << 20;
// A power cut loses at most one interval of cycles: a minute is the most a site may choose.
constexpr int kMaxCommitIntervalMs = 60000;

bool name_char(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool site_name_char(char c) { return name_char(c) || c == '-' || c == '_'; }
bool unit_name_char(char c) { return site_name_char(c) || c == '.'; }

// A unit's name is a level of its topics and a part of its URLs, so "." and
// ".." (a folder in a path) and the agent's own events' level are not names.
void check_unit_name(const std::string& name, const Path& path)
{
    if (name == "." || name == "..")
        refuse(path, "\"" + name + "\" is not a unit name (it names a folder in a path)");
    if (name == mqtt::kAgentLevel)
        refuse(path, "\"" + name + "\" is not a unit name (it is the topic level of the agent's own events)");
}

StoreSettings check_store(const Json::Value& store, const Path& path, const std::string& folder)
{
    known_members(store, path, {"path", "keep_days", "max_mb", "commit_interval_ms"});
    StoreSettings settings;
    settings.path = file_path(required(store, path, "path"), member(path, "path"), folder);
    if (store.isMember("keep_days"))
        settings.keep_days = static_cast<int>(
            integer_in(store["keep_days"], member(path, "keep_days"), 1, kMaxKeepDays, "a number of days"));
    if (store.isMember("max_mb"))
        settings.max_mb = static_cast<int>(
            integer_in(store["max_mb"], member(path, "max_mb"), 1, kMaxStoreMb, "a size in MB"));
    if (store.isMember("commit_interval_ms"))
        settings.commit_interval_ms = static_cast<int>(integer_in(
            store["commit_interval_ms"], member(path, "commit_interval_ms"), 0, kMaxCommitIntervalMs, "a time in ms"));
    return settings;
}

// The line's link, as every other link is read; the units' slave ids are the
// units' own, so the link names none.
LinkSettings check_link(const Json::Value& link, const Path& path)
{
    if (!link.isObject()) refuse(path, shown(link) + " is not an object");
    for (const char* per_unit : {"slave", "slaves"})
        if (link.isMember(per_unit))
            refuse(member(path, per_unit), "each unit's slave id goes in its \"units\" entry");
    try {
        return parse_link_settings(link, path);
    } catch (const std::invalid_argument& e) {
        throw SiteFileError(e.what());  // it names the member
    }
}

SiteUnit check_unit(const Json::Value& unit, const Path& path)
{
    known_members(unit, path, {"slave", "name", "device_id", "settings", "keys"});
    SiteUnit checked;
    const Json::Value& slave = required(unit, path, "slave");
    try {
        checked.slave = checked_slave_id(slave.isInt64() ? slave.asInt64() : 0);
    } catch (const std::invalid_argument&) {
        refuse(member(path, "slave"), shown(slave) + " is not a slave id (1 to 247)");
    }
    checked.name = text_in(required(unit, path, "name"), member(path, "name"), kMaxNameLength, unit_name_char,
                           "a unit name (letters, digits, -, _ and .)");
    check_unit_name(checked.name, member(path, "name"));
    if (unit.isMember("device_id"))
        checked.device_id = static_cast<unsigned int>(
            integer_in(unit["device_id"], member(path, "device_id"), 1, 0xFFFFFFFFLL, "a device id"));
    checked.settings = unit.isMember("settings") ? unit["settings"] : Json::Value(Json::objectValue);
    if (!checked.settings.isObject()) refuse(member(path, "settings"), shown(checked.settings) + " is not an object");
    if (checked.settings.isMember("link"))
        refuse(member(member(path, "settings"), "link"), "the line's link is given once, in the line's \"link\"");
    check_driver_settings(checked.settings, member(path, "settings"));
    if (unit.isMember("keys")) checked.keys = value_keys(unit["keys"], member(path, "keys"));
    return checked;
}

SiteLine check_line(const Json::Value& line, const Path& path)
{
    known_members(line, path, {"link", "interval_s", "units"});
    SiteLine checked;
    checked.link = check_link(required(line, path, "link"), member(path, "link"));
    if (line.isMember("interval_s")) {
        const Json::Value& interval = line["interval_s"];
        if (!interval.isNumeric() || interval.asDouble() < kMinIntervalS || interval.asDouble() > kMaxIntervalS)
            refuse(member(path, "interval_s"), shown(interval) + " is not a number of seconds (0.1 to 86400)");
        checked.interval_s = interval.asDouble();
    }
    const Path units_path = member(path, "units");
    const Json::Value& units = required(line, path, "units");
    if (!units.isArray() || units.empty() || units.size() > kMaxUnitsPerLine)
        refuse(units_path, "must be a list of 1 to 247 units");
    for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
        checked.units.push_back(check_unit(units[i], item(units_path, i)));
        for (Json::ArrayIndex j = 0; j < i; ++j)
            if (checked.units[j].slave == checked.units[i].slave)
                refuse(member(item(units_path, i), "slave"), std::to_string(checked.units[i].slave) +
                                                                 " is already " + item(units_path, j) + "'s");
    }
    return checked;
}

// Names are unique in the site and a serial line has one poller; device ids
// not given are the unit's place in the site.
void check_site_wide(SiteFile& site)
{
    std::vector<std::pair<std::string, Path>> names;
    for (std::size_t l = 0; l < site.lines.size(); ++l) {
        SiteLine& line = site.lines[l];
        const Path line_path = item("lines", l);
        for (std::size_t earlier = 0; earlier < l; ++earlier) {
            const LinkSettings& other = site.lines[earlier].link;
            if (line.link.kind == LinkSettings::Kind::Rtu && other.kind == LinkSettings::Kind::Rtu &&
                other.device == line.link.device)
                refuse(member(member(line_path, "link"), "device"),
                       line.link.device + " is already " + item("lines", earlier) + "'s");
        }
        for (std::size_t u = 0; u < line.units.size(); ++u) {
            SiteUnit& unit = line.units[u];
            const Path unit_path = item(member(line_path, "units"), u);
            for (const auto& [name, where] : names)
                if (name == unit.name) refuse(member(unit_path, "name"), "\"" + name + "\" is already " + where + "'s");
            names.emplace_back(unit.name, unit_path);
        }
    }
    unsigned int place = 0;
    for (SiteLine& line : site.lines)
        for (SiteUnit& unit : line.units) {
            ++place;
            if (unit.device_id == 0) unit.device_id = place;
        }
}

std::string folder_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

SiteFile check_site(const Json::Value& root, const std::string& folder)
{
    known_members(root, "", {"site", "store", "lines", "http", "mqtt", "notify"});
    SiteFile site;
    site.site = text_in(required(root, "", "site"), "site", kMaxNameLength, site_name_char,
                        "a site name (letters, digits, - and _)");
    site.store = check_store(required(root, "", "store"), "store", folder);
    const Json::Value& lines = required(root, "", "lines");
    if (!lines.isArray() || lines.empty() || lines.size() > kMaxLines)
        refuse("lines", "must be a list of 1 to " + std::to_string(kMaxLines) + " lines");
    for (Json::ArrayIndex i = 0; i < lines.size(); ++i) site.lines.push_back(check_line(lines[i], item("lines", i)));
    check_site_wide(site);
    if (root.isMember("http")) site.http = check_http(root["http"], "http", folder);
    if (root.isMember("mqtt")) site.mqtt = check_mqtt_settings(root["mqtt"], "mqtt", folder);
    if (root.isMember("notify")) site.notify = check_notify_settings(root["notify"], "notify");
    site.store.site = site.site;
    // Rows stay until the centre confirms them only when there is a centre.
    site.store.forwarding = site.mqtt.has_value();
    return site;
}

SiteFile read_site_file(const std::string& path)
{
    return read_site_text(path, json_file_text("site file " + path, path), folder_of(path));
}

// The hash is of the very bytes checked, read once.
SiteFile read_site_text(const std::string& path, const std::string& text, const std::string& folder)
{
    const Json::Value root = parse_json_object("site file " + path, text);
    try {
        SiteFile site = check_site(root, folder);
        site.hash = sha256_hex(text);
        site.document = root;
        return site;
    } catch (const SiteFileError& e) {
        throw SiteFileError(path + ": " + e.what());
    }
}

Json::Value unit_device_config(const SiteLine& line, const SiteUnit& unit)
{
    Json::Value config = unit.settings;
    LinkSettings link = line.link;
    link.slave = unit.slave;
    config["link"] = link_settings_json(link);
    return config;
}

}  // namespace agent
