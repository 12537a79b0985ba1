#include "tools/qmhost/device_config.hpp"
#include "tools/common/arguments.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

Json::Value read_config(const std::string& path)
{
    Json::Value config = read_json_file("config", path);
    if (!config.isObject()) throw std::runtime_error("config " + path + " is not a JSON object");
    return config;
}

bool any_link_option(const LinkOptions& o)
{
    return o.tcp_host || o.rtu_device || o.baud || o.parity || o.data_bits || o.stop_bits || o.slave ||
           o.timeout_ms;
}

void apply(const LinkOptions& o, LinkSettings& s)
{
    if (o.tcp_host) {
        s.kind = LinkSettings::Kind::Tcp;
        s.host = *o.tcp_host;
        s.port = *o.tcp_port;
    }
    if (o.rtu_device) {
        s.kind = LinkSettings::Kind::Rtu;
        s.device = *o.rtu_device;
    }
    if (o.baud) s.baud = *o.baud;
    if (o.parity) s.parity = *o.parity;
    if (o.data_bits) s.data_bits = *o.data_bits;
    if (o.stop_bits) s.stop_bits = *o.stop_bits;
    if (o.slave) s.slave = *o.slave;
    if (o.timeout_ms) s.timeout_ms = *o.timeout_ms;
}

// "slaves": [1, 2, 3] in the config's link: each id 1 to 247, once.
std::vector<int> link_slaves(const Json::Value& link)
{
    const Json::Value& list = link["slaves"];
    std::vector<int> slaves;
    if (list.isNull()) return slaves;
    if (!list.isArray() || list.empty())
        throw std::invalid_argument("link setting \"slaves\" must be a list of slave ids");
    for (const Json::Value& id : list) {
        if (!id.isInt() || id.asInt() < 1 || id.asInt() > 247)
            throw std::invalid_argument("link setting \"slaves\" takes ids from 1 to 247");
        if (std::find(slaves.begin(), slaves.end(), id.asInt()) != slaves.end())
            throw std::invalid_argument("link setting \"slaves\" lists " + std::to_string(id.asInt()) + " twice");
        slaves.push_back(id.asInt());
    }
    return slaves;
}

}  // namespace

Json::Value load_device_config(const DeviceOptions& options, bool several_units)
{
    Json::Value config = options.config.empty() ? Json::Value(Json::objectValue) : read_config(options.config);
    const bool config_has_link = config.isMember("link");
    if (!config_has_link && !options.link.tcp_host && !options.link.rtu_device)
        throw UsageError("no link: give --tcp HOST:PORT or --rtu DEVICE, or a \"link\" in --config");

    LinkSettings link;
    std::vector<int> slaves;
    try {
        if (config_has_link) {
            link = parse_link_settings(config["link"]);
            slaves = link_slaves(config["link"]);
        }
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error("config " + options.config + ": " + e.what());
    }
    if (any_link_option(options.link)) apply(options.link, link);
    if (link.kind == LinkSettings::Kind::Rtu && link.device.empty())
        throw UsageError("--rtu needs a serial device path");
    if (options.link.slave) slaves = options.link.slaves;
    if (slaves.size() == 1) link.slave = slaves.front();
    if (slaves.size() > 1 && !several_units)
        throw UsageError("config " + options.config + " lists several units on its line: give --slave ID for one");
    config["link"] = link_settings_json(link);
    if (slaves.size() > 1) {
        Json::Value& list = config["link"]["slaves"] = Json::Value(Json::arrayValue);
        for (int slave : slaves) list.append(slave);
    }
    return config;
}

LinkSettings config_link(const Json::Value& config) { return parse_link_settings(config["link"]); }

std::vector<int> config_slaves(const Json::Value& config)
{
    const std::vector<int> slaves = link_slaves(config["link"]);
    return slaves.size() > 1 ? slaves : std::vector<int>{};
}

Json::Value for_slave(const Json::Value& config, int slave)
{
    Json::Value unit = config;
    unit["link"].removeMember("slaves");
    unit["link"]["slave"] = slave;
    return unit;
}

Json::Value with_port_offset(const Json::Value& config, int offset)
{
    Json::Value shifted = config;
    shifted["link"]["port"] = config["link"]["port"].asInt() + offset;
    return shifted;
}
