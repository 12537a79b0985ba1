#include "tools/common/device_json.hpp"

#include "host/contract.hpp"
#include "base/json_file.hpp"
#include "base/usage_error.hpp"

#include <stdexcept>

namespace {

constexpr const char* kReadMembers[] = {kLinkMember, contract::settings::kApp, contract::settings::kThresholds};

bool read_by_someone(const std::string& name)
{
    for (const char* member : kReadMembers)
        if (name == member) return true;
    return false;
}

}  // namespace

DeviceJson read_device_json(const std::string& path)
{
    DeviceJson device;
    device.document = read_json_file("config", path);
    if (device.document.isMember(kLinkMember)) {
        try {
            device.link = parse_link_settings(device.document[kLinkMember], kLinkMember);
        } catch (const std::invalid_argument& e) {
            throw ConfigError("config " + path + ": " + e.what());
        }
    }
    for (const std::string& name : device.document.getMemberNames())
        if (!read_by_someone(name))
            device.warnings.push_back("config " + path + ": member \"" + name +
                                      "\" is read by neither the host nor the driver");
    return device;
}
