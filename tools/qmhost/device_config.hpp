// The device JSON a driver is given: the --config file, with the link
// options merged into its "link" object.
#pragma once

#include "host/libmodbus_link.hpp"
#include "tools/qmhost/options.hpp"

#include <json/json.h>

// Throws std::runtime_error when the file cannot be read, is not JSON (with
// the parser's message) or has no usable link, and UsageError when there is
// no link at all.
Json::Value load_device_config(const DeviceOptions& options);

// The link the config names; the config has been through load_device_config.
LinkSettings config_link(const Json::Value& config);

// The same config with its TCP port moved `offset` ports up, for the n-th of
// several devices.
Json::Value with_port_offset(const Json::Value& config, int offset);
