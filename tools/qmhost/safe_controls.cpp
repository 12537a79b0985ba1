// qmhost on, off, set temperature, set humidity: a control for people. A
// setpoint outside a plausible range is refused before anything is sent;
// otherwise the write is sent, its outcome awaited and the point read back
// from the unit with one polling cycle.
#include "host/contract.hpp"
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/control_outcome.hpp"
#include "tools/qmhost/hosted_device.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/report_values.hpp"
#include "tools/qmhost/setpoint_ranges.hpp"

#include "host/libmodbus_link.hpp"

#include <iostream>

namespace {

struct SafeControl {
    const char* what;    // in qmhost's messages
    int code;            // the driver's command code
    const char* member;  // the report member that shows the result
    const char* unit;    // of the setpoint, for messages
    const SetpointRange* range;  // none for on and off
};

constexpr SafeControl kOn{"unit on", contract::command::kSwitchOn, "开关机", "", nullptr};
constexpr SafeControl kOff{"unit off", contract::command::kSwitchOff, "开关机", "", nullptr};
constexpr SafeControl kTemperature{kTemperatureRange.what, contract::command::kTemperatureSetpoint, "回风温度设定",
                                   kTemperatureRange.unit, &kTemperatureRange};
constexpr SafeControl kHumidity{kHumidityRange.what, contract::command::kHumiditySetpoint, "湿度设定",
                                kHumidityRange.unit, &kHumidityRange};

const SafeControl& control_for(const SafeControlOptions& o)
{
    switch (o.action) {
    case SafeControlOptions::Action::On:
        return kOn;
    case SafeControlOptions::Action::Off:
        return kOff;
    case SafeControlOptions::Action::Temperature:
        return kTemperature;
    case SafeControlOptions::Action::Humidity:
        break;
    }
    return kHumidity;
}

std::string on_off_in_english(const std::string& text)
{
    const char* word = state_word(text);
    return word ? text + " (" + word + ")" : text;
}

// One polling cycle, then the member as the unit now reports it; a stop
// ends it at once.
void show_read_back(HostedDevice& device, const SafeControl& control, StopSignals& stop)
{
    set_link_stop_check([&stop] { return stop.requested(); });
    const CycleResult cycle = device.run_cycle([&stop] { return stop.requested(); });
    set_link_stop_check({});
    if (cycle.stopped) {
        std::cerr << "qmhost: stopped: the point was not read back" << std::endl;
        return;
    }
    const Json::Value* report = cycle.completed ? device.report_document() : nullptr;
    if (!report) {
        std::cerr << "qmhost: could not read the point back: "
                  << (cycle.completed ? "the driver gave no report" : cycle.error) << std::endl;
        return;
    }
    const std::string value = member_value_text(*report, control.member);
    program_output() << "the unit now reports " << control.member << " = "
                     << (control.code == kOn.code || control.code == kOff.code ? on_off_in_english(value)
                                                                                  : value + control.unit)
                     << std::endl;
}

}  // namespace

ExitStatus run_safe_control(const CommandLine& c)
{
    SafeControlOptions options = c.safe;
    if (c.command == CommandLine::Command::On) options.action = SafeControlOptions::Action::On;
    if (c.command == CommandLine::Command::Off) options.action = SafeControlOptions::Action::Off;
    const SafeControl& control = control_for(options);
    std::vector<unsigned char> input;
    std::string asked = control.what;
    const bool setpoint = options.action == SafeControlOptions::Action::Temperature ||
                          options.action == SafeControlOptions::Action::Humidity;
    if (setpoint) {
        const int value = checked_setpoint(*control.range, options.value, options.force);
        input = {static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>(value >> 8)};
        asked += " " + std::to_string(value) + control.unit;
    }

    OpenedDevice device(c.device);

    // Until here a stop signal ends qmhost at once: nothing has been sent.
    StopSignals stop;
    std::string why;
    const ExitStatus status = control_exit(device->control_through_stop(control.code, input, stop), why);
    if (status == ExitStatus::kOk)
        program_output() << asked << ": confirmed by the unit" << std::endl;
    else
        std::cerr << "qmhost: " << asked << ": " << why << std::endl;
    if (status == ExitStatus::kOk || status == ExitStatus::kNotConfirmed) show_read_back(*device, control, stop);
    return status;
}
