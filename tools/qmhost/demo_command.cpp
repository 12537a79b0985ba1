// qmhost demo: the simulated unit in this process on a free loopback port,
// polled, a setpoint changed and confirmed, and an alarm raised.
#include "tools/qmhost/commands.hpp"
#include "hosting/hosted_device.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/summary.hpp"
#include "tools/sim/unit_server.hpp"

#include "driver/unit_objects.hpp"
#include "host/contract.hpp"
#include "host/libmodbus_link.hpp"

#include <atomic>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace {

constexpr int kPollsBeforeControl = 3;
constexpr auto kDemoInterval = std::chrono::seconds(1);

// The unit's return-air temperature setpoint, in tenths of a degree.
// Command 106 writes it, given in whole degrees.
constexpr int kReturnSetpointRegister = unit_objects::kTemperatureSetpointRegister;
constexpr int kReturnSetpointCommand = contract::command::kTemperatureSetpoint;
constexpr int kTenthsPerDegree = 10;
constexpr int kConfirmed = 1;
// Coil 37: the unit's return-air high temperature alarm.
constexpr int kReturnHighTemperatureCoil = 37;

// The simulated unit serving on a thread of its own.
class DemoUnit {
public:
    DemoUnit() : port_(server_.listen_tcp("127.0.0.1", 0)), thread_([this] { server_.serve(stop_); }) {}
    ~DemoUnit()
    {
        stop_ = true;
        thread_.join();
    }
    UnitServer& server() { return server_; }
    int port() const { return port_; }

private:
    UnitServer server_;
    std::atomic<bool> stop_{false};
    int port_;
    std::thread thread_;
};

// Cycles a second apart: the driver rebuilds its report for a cycle whose
// time stamp, in whole seconds, differs from the last one's.
class Pacer {
public:
    void wait_turn()
    {
        std::this_thread::sleep_until(next_start_);
        next_start_ = std::chrono::steady_clock::now() + kDemoInterval;
    }

private:
    std::chrono::steady_clock::time_point next_start_ = std::chrono::steady_clock::now();
};

void show_cycle(HostedDevice& device)
{
    const CycleResult result = device.run_cycle();
    if (!result.completed)
        throw std::runtime_error("demo cycle failed at step " + std::to_string(result.failed_step) + ": " +
                                 result.error);
    program_output() << render_summary({device.device().cycle_time(), device.report_document(), device.outputs().active_alarms(),
                                 device.outputs().transitions(), ""})
              << std::flush;
}

bool raised(const HostedDevice& device)
{
    for (const auto& transition : device.outputs().transitions())
        if (transition.second) return true;
    return false;
}

}  // namespace

ExitStatus run_demo()
{
    DemoUnit unit;
    LinkSettings link;
    link.port = unit.port();
    Json::Value config(Json::objectValue);
    config["link"] = link_settings_json(link);

    PluginLibrary plugin(default_plugin_path());
    HostedDevice device(plugin, 1, config, nullptr, nullptr);
    device.open_link();
    program_output() << "demo: a simulated unit on " << device.link_description() << ", polled by "
              << device.device().DeviceType() << " from " << plugin.path() << "\n\n";

    Pacer pacer;
    for (int cycle = 0; cycle < kPollsBeforeControl; ++cycle) {
        pacer.wait_turn();
        show_cycle(device);
    }

    const int setpoint = unit.server().reg(kReturnSetpointRegister) / kTenthsPerDegree + 1;
    program_output() << "\ndemo: return-air setpoint to " << setpoint << " °C (command " << kReturnSetpointCommand
              << ", word " << setpoint << ")\n";
    ControlOptions command;
    command.code = kReturnSetpointCommand;
    command.words = {static_cast<uint16_t>(setpoint)};
    const ControlResult control = device.control(command.code, command.input());
    if (control.write_failure)
        throw std::runtime_error("demo setpoint write failed: " + control.write_failure->text());
    if (!control.outcome) throw std::runtime_error("the driver did not answer the outcome query");
    program_output() << "control result: " << *control.outcome << "\n\n";
    if (*control.outcome != kConfirmed) throw std::runtime_error("the setpoint write was not confirmed");
    pacer.wait_turn();
    show_cycle(device);
    if (unit.server().reg(kReturnSetpointRegister) != setpoint * kTenthsPerDegree)
        throw std::runtime_error("the simulated unit does not hold the new setpoint");

    program_output() << "\ndemo: the unit raises its return-air high temperature alarm (coil "
              << kReturnHighTemperatureCoil << ")\n\n";
    unit.server().set_coil(kReturnHighTemperatureCoil, true);
    pacer.wait_turn();
    show_cycle(device);
    if (!raised(device)) throw std::runtime_error("the alarm was not raised");
    program_output() << "\ndemo: done\n";
    return ExitStatus::kOk;
}
