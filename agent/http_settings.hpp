// The site file's "http" member: where the agent's HTTP server listens and
// the file holding the token that allows controls. Read here, called by the
// site file's reader with the member's path.
#pragma once

#include "agent/site_checks.hpp"  // SiteFileError
#include "agent/unit_values.hpp"   // ShownKeys

#include <json/json.h>

#include <string>
#include <vector>

namespace agent {

struct HttpSettings {
    bool enabled = false;           // the site file has an "http" member
    std::string address = "127.0.0.1";  // IPv4, or IPv6 in brackets ("[::1]")
    int port = 8470;
    std::string control_token_file;  // empty: read-only, every control refused
    std::vector<std::string> hosts;   // names a request's Host may give besides loopback's and the address
    std::string tls_certificate;      // empty: plain HTTP
    std::string tls_key;
    // What /metrics lists beyond each unit's fixed families: every alarm
    // point (0 or 1) or only the active ones, and which value keys (of those
    // a unit publishes) get a qm_unit_value_* series. The centre pays for
    // each series it scrapes, so by default an idle unit has a few.
    bool metrics_all_alarms = false;  // "metrics_alarms": "all"; default "active"
    ShownKeys metrics_values;         // "metrics_values": "keys" (all), [KEY, ...], or "none" (default)
};

// {"listen": "127.0.0.1:8470", "control_token_file": FILE, "hosts": [NAME],
// "tls": {"certificate": FILE, "key": FILE}, "metrics_alarms": "active"|"all",
// "metrics_values": "none"|"keys"|[KEY]}, each optional; relative files
// are taken from `folder`. Controls from beyond loopback need TLS. Throws SiteFileError naming
// the member below `path` ("http.listen: ...").
HttpSettings check_http(const Json::Value& http, const std::string& path, const std::string& folder);

// The token itself, read when the agent starts: the file's first line, at
// least 16 characters. Throws SiteFileError when the file cannot be read or
// the token is too short; the refusal never quotes the token.
std::string read_control_token(const std::string& file);

}  // namespace agent
