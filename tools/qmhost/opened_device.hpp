// One unit's driver, opened as every command that talks to one unit opens
// it: the device JSON, the plug-in, the driver given its settings, then its
// line.
#pragma once

#include "hosting/hosted_device.hpp"
#include "hosting/plugin_library.hpp"
#include "tools/qmhost/options.hpp"

#include <json/json.h>

// Throws as each step does (UsageError, std::runtime_error).
class OpenedDevice {
public:
    explicit OpenedDevice(const DeviceOptions& options);
    HostedDevice& operator*() { return device_; }
    HostedDevice* operator->() { return &device_; }
    // The device JSON it was given.
    const Json::Value& config() const { return config_; }

private:
    Json::Value config_;
    PluginLibrary plugin_;
    HostedDevice device_;
};
