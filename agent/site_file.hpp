// The site file: one JSON file naming a site's lines, their units and the
// store. This is the one place that reads and checks it; every refusal names
// the member's path (lines[1].units[0].slave) and why.
#pragma once

#include "agent/http_settings.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/notify_settings.hpp"
#include "agent/site_checks.hpp"
#include "agent/store.hpp"
#include "host/link_settings.hpp"

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agent {

struct SiteUnit {
    int slave = 1;
    std::string name;            // unique in the site; becomes part of topics and URLs
    unsigned int device_id = 0;  // default: the unit's place in the site, from 1
    Json::Value settings;        // the device JSON for InitSetting, its "link" filled in by the agent
    ShownKeys keys = all_shown_keys();  // the values it publishes: its "keys", default all
};

struct SiteLine {
    LinkSettings link;
    double interval_s = 5.0;  // from one cycle's start to the next
    std::vector<SiteUnit> units;
};

struct SiteFile {
    std::string site;
    StoreSettings store;  // its site and forwarding follow the file's "site" and "mqtt"
    std::vector<SiteLine> lines;
    HttpSettings http;  // the "http" member; not enabled when absent
    std::optional<MqttSettings> mqtt;  // the "mqtt" member; without it the agent only stores
    std::optional<NotifySettings> notify;  // the "notify" member; without it no command is run
    std::string hash;  // SHA-256 of the file's bytes, hex, as sha256sum prints it
    Json::Value document;  // the file as read: a reload compares the parts it cannot take while running
};

// Throws SiteFileError ("FILE: lines[1].units[0].slave: 248 is not a slave
// id (1 to 247)"), or ConfigError when the file cannot be read or is not
// one JSON object (the strict reader's).
SiteFile read_site_file(const std::string& path);

// The same on the file's text, already read: `path` names it in the
// refusals, `folder` anchors its relative paths.
SiteFile read_site_text(const std::string& path, const std::string& text, const std::string& folder);

// The checks alone, on a parsed document; `folder` anchors a relative store
// path. Throws SiteFileError naming the member, without the file.
SiteFile check_site(const Json::Value& root, const std::string& folder);

// The device JSON a unit's driver is given: its settings with the line's
// link and the unit's slave id.
Json::Value unit_device_config(const SiteLine& line, const SiteUnit& unit);

}  // namespace agent
