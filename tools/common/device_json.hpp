// The device JSON (--config): the driver's settings, with the host's "link"
// beside them, as the gateway hands it to a driver.
#pragma once

#include "host/link_settings.hpp"

#include <json/json.h>

#include <optional>
#include <string>
#include <vector>

struct DeviceJson {
    Json::Value document;  // the whole file; the driver is given it as it is
    std::optional<LinkSettings> link;  // its "link", read strictly
    // Top-level members neither the host nor the driver reads, named.
    std::vector<std::string> warnings;
};

// Reads the file strictly (read_json_file) and its "link" with
// parse_link_settings; ConfigError naming the file and the member.
DeviceJson read_device_json(const std::string& path);
