#include "tools/qmhost/opened_device.hpp"

#include "tools/qmhost/device_config.hpp"

OpenedDevice::OpenedDevice(const DeviceOptions& options)
    : config_(load_device_config(options)),
      plugin_(plugin_path(options.plugin)),
      device_(plugin_, options.device_id, config_, nullptr, nullptr)
{
    device_.open_link();
}
