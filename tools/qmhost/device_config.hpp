// The device JSON a driver is given: the --config file, with the link
// options merged into its "link" object.
#pragma once

#include "host/link_settings.hpp"
#include "tools/qmhost/options.hpp"

#include <json/json.h>

#include <vector>

// Reads the --config file (read_device_json: ConfigError for any mistake in
// it, its top-level members nobody reads named on standard error) and puts
// the link the options make of its "link" back in; UsageError when there
// is no link at all. The units on the line are the --slave ids when given,
// else the config's "link" "slaves"; with `several_units` false a config
// listing several is refused (a command goes to one unit, named with
// --slave).
Json::Value load_device_config(const DeviceOptions& options, bool several_units = false);

// The link the config names; the config has been through load_device_config.
LinkSettings config_link(const Json::Value& config);

// The slave ids of the units on the config's line, when it has several;
// empty for one unit.
std::vector<int> config_slaves(const Json::Value& config);

// One unit's config out of a config listing several: its own slave id.
Json::Value for_slave(const Json::Value& config, int slave);

// The same config with its TCP port moved `offset` ports up, for the n-th of
// several devices.
Json::Value with_port_offset(const Json::Value& config, int offset);
