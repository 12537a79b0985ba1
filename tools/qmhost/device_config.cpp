#include "tools/qmhost/device_config.hpp"
#include "tools/common/arguments.hpp"

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

}  // namespace

Json::Value load_device_config(const DeviceOptions& options)
{
    Json::Value config = options.config.empty() ? Json::Value(Json::objectValue) : read_config(options.config);
    const bool config_has_link = config.isMember("link");
    if (!config_has_link && !options.link.tcp_host && !options.link.rtu_device)
        throw UsageError("no link: give --tcp HOST:PORT or --rtu DEVICE, or a \"link\" in --config");

    LinkSettings link;
    try {
        if (config_has_link) link = parse_link_settings(config["link"]);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error("config " + options.config + ": " + e.what());
    }
    if (any_link_option(options.link)) apply(options.link, link);
    if (link.kind == LinkSettings::Kind::Rtu && link.device.empty())
        throw UsageError("--rtu needs a serial device path");
    config["link"] = link_settings_json(link);
    return config;
}

LinkSettings config_link(const Json::Value& config) { return parse_link_settings(config["link"]); }

Json::Value with_port_offset(const Json::Value& config, int offset)
{
    Json::Value shifted = config;
    shifted["link"]["port"] = config["link"]["port"].asInt() + offset;
    return shifted;
}
