// qmhost control: one command, its write, and the driver's outcome.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/device_config.hpp"
#include "tools/qmhost/hosted_device.hpp"

#include <iostream>
#include <stdexcept>

int run_control(const CommandLine& c)
{
    const Json::Value config = load_device_config(c.device);
    PluginLibrary plugin(c.device.plugin.empty() ? default_plugin_path() : c.device.plugin);
    HostedDevice device(plugin, c.device.device_id, config, nullptr, nullptr);
    device.open_link();

    const ControlResult result = device.control(c.control.code, c.control.input());
    std::cout << "command " << c.control.code << " handed to the driver: DeviceIoControl returned "
              << result.handed << (result.wrote ? "" : ", no write sent") << '\n';
    if (!result.write_error.empty()) std::cout << "the write failed: " << result.write_error << '\n';
    if (!result.outcome)
        throw std::runtime_error("the driver did not answer the outcome query (DeviceIoControl returned " +
                                 std::to_string(result.query_returned) + ")");
    std::cout << "control result: " << *result.outcome << std::endl;
    return 0;
}
