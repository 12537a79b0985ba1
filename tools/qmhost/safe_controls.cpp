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

#include <charconv>
#include <iostream>

namespace {

struct SafeControl {
    const char* what;    // in qmhost's messages
    int code;            // the driver's command code
    const char* member;  // the report member that shows the result
    const char* unit;    // of the setpoint, for messages
    int low, high;       // plausible setpoints, whole units
};

// Return-air setpoints of a precision air-conditioner sit around 18 to 27 °C
// and humidity setpoints around 40 to 60 %RH; the ranges leave room either
// side and catch a tenfold slip (250 for 25.0).
constexpr SafeControl kOn{"unit on", contract::command::kSwitchOn, "开关机", "", 0, 0};
constexpr SafeControl kOff{"unit off", contract::command::kSwitchOff, "开关机", "", 0, 0};
constexpr SafeControl kTemperature{"return-air temperature setpoint", contract::command::kTemperatureSetpoint, "回风温度设定", " °C", 15, 35};
constexpr SafeControl kHumidity{"humidity setpoint", contract::command::kHumiditySetpoint, "湿度设定", " %RH", 20, 80};
// With --force: anything whose tenfold fits the unit's 16-bit register.
constexpr int kForcedHigh = 65535 / 10;

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

// The setpoint as a whole number within range; UsageError otherwise.
int checked_setpoint(const SafeControl& control, const SafeControlOptions& o)
{
    int value = 0;
    const char* end = o.value.data() + o.value.size();
    const auto [stop, error] = std::from_chars(o.value.data(), end, value);
    if (o.value.empty() || error != std::errc() || stop != end)
        throw UsageError(std::string(control.what) + " must be a whole number (the unit takes whole" +
                         control.unit + "), not \"" + o.value + "\"; nothing sent");
    const int low = o.force ? 0 : control.low;
    const int high = o.force ? kForcedHigh : control.high;
    if (value < low || value > high)
        throw UsageError(std::string(control.what) + " " + o.value + control.unit + " is outside " +
                         std::to_string(low) + " to " + std::to_string(high) + control.unit +
                         (o.force ? "" : " (--force allows 0 to " + std::to_string(kForcedHigh) + ")") +
                         "; nothing sent");
    return value;
}

std::string on_off_in_english(const std::string& text)
{
    const char* word = state_word(text);
    return word ? text + " (" + word + ")" : text;
}

// One polling cycle, then the member as the unit now reports it.
void show_read_back(HostedDevice& device, const SafeControl& control)
{
    const CycleResult cycle = device.run_cycle();
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
        const int value = checked_setpoint(control, options);
        input = {static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>(value >> 8)};
        asked += " " + std::to_string(value) + control.unit;
    }

    OpenedDevice device(c.device);

    std::string why;
    const ExitStatus status = control_exit(device->control(control.code, input), why);
    if (status == ExitStatus::kOk)
        program_output() << asked << ": confirmed by the unit" << std::endl;
    else
        std::cerr << "qmhost: " << asked << ": " << why << std::endl;
    if (status == ExitStatus::kOk || status == ExitStatus::kNotConfirmed) show_read_back(*device, control);
    return status;
}
