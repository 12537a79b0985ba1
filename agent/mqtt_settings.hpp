// The site file's "mqtt" member: where and how the agent publishes. Read and
// checked here, called by the site file's reader; every refusal names the
// member's path ("mqtt.keepalive_s: 0 is not ...").
#pragma once

#include "agent/site_checks.hpp"  // SiteFileError

#include <json/json.h>

#include <optional>
#include <string>

namespace agent {

struct MqttTls {
    std::string ca_file;    // the CA that signed the broker's certificate
    std::string cert_file;  // this client's certificate and key: both or neither
    std::string key_file;
};

struct MqttSettings {
    std::string host;
    int port = 1883;            // 8883 when "tls" is given
    std::string client_id;      // empty: "qm-" and the site's name
    std::string username;       // empty: none
    std::string password;       // read from password_file; never logged or shown
    std::optional<MqttTls> tls;
    std::string topic_prefix = "qm/v1";
    int keepalive_s = 30;
    int inflight = 16;          // messages handed to the broker and not yet acknowledged
    double replay_after_s = 120;  // acknowledged rows the centre has not confirmed by then go again
    int backlog_per_s = 200;      // rows per second a backlog drains at, beside live data
    bool compact = false;         // "encoding": "compact" (mqtt_messages.hpp), else "json"
};

// `mqtt` is the member's value, `path` its name in the file ("mqtt") and
// `folder` the site file's folder, which anchors relative file names. The
// password file is read here, so a missing one is refused at start.
// Throws SiteFileError("mqtt.port: 70000 is not a port (1 to 65535)").
MqttSettings check_mqtt_settings(const Json::Value& mqtt, const std::string& path, const std::string& folder);

}  // namespace agent
