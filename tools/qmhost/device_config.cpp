#include "tools/qmhost/device_config.hpp"

#include "tools/common/device_json.hpp"

#include <iostream>

namespace {

DeviceJson read_config(const std::string& path)
{
    if (path.empty()) return DeviceJson{Json::Value(Json::objectValue), std::nullopt, {}};
    DeviceJson device = read_device_json(path);
    for (const std::string& warning : device.warnings) std::cerr << "qmhost: warning: " << warning << std::endl;
    return device;
}

}  // namespace

Json::Value load_device_config(const DeviceOptions& options, bool several_units)
{
    DeviceJson device = read_config(options.config);
    const LinkSettings link = link_over(options.link, device.link);
    if (link.slaves.size() > 1 && !several_units)
        throw UsageError("config " + options.config + " lists several units on its line: give --slave ID for one");
    device.document[kLinkMember] = link_settings_json(link);
    return device.document;
}

LinkSettings config_link(const Json::Value& config) { return parse_link_settings(config[kLinkMember]); }

std::vector<int> config_slaves(const Json::Value& config) { return config_link(config).slaves; }

Json::Value for_slave(const Json::Value& config, int slave)
{
    Json::Value unit = config;
    unit[kLinkMember].removeMember("slaves");
    unit[kLinkMember]["slave"] = slave;
    return unit;
}

Json::Value with_port_offset(const Json::Value& config, int offset)
{
    Json::Value shifted = config;
    shifted[kLinkMember]["port"] = config[kLinkMember]["port"].asInt() + offset;
    return shifted;
}
