// qmhost on, off, set temperature, set humidity: a control for people. A
// setpoint outside a plausible range is refused before anything is sent;
// otherwise the write is sent, its outcome awaited and the point read back
// from the unit with one polling cycle.
#include "host/contract.hpp"
#include "tools/qmhost/commands.hpp"
#include "hosting/control_checks.hpp"
#include "hosting/control_outcome.hpp"
#include "hosting/hosted_device.hpp"
#include "tools/qmhost/opened_device.hpp"
#include "tools/qmhost/program_output.hpp"
#include "agent/unit_values.hpp"
#include "tools/qmhost/report_values.hpp"

#include "host/libmodbus_link.hpp"
#include "agent/status_json.hpp"
#include "agent/time_text.hpp"
#include "tools/qmhost/agent_status.hpp"

#include <iostream>

namespace {

struct SafeControl {
    const char* what;    // in qmhost's messages
    int code;            // the driver's command code
    const char* member;  // the report member that shows the result
    const char* unit;    // of the setpoint, for messages
    const SetpointRange* range;  // none for on and off
    const char* key;             // the member's key in an agent's status
};

constexpr SafeControl kOn{"unit on", contract::command::kSwitchOn, "开关机", "", nullptr, "unit.state"};
constexpr SafeControl kOff{"unit off", contract::command::kSwitchOff, "开关机", "", nullptr, "unit.state"};
constexpr SafeControl kTemperature{kTemperatureRange.what, contract::command::kTemperatureSetpoint, "回风温度设定",
                                   kTemperatureRange.unit, &kTemperatureRange, "setpoint.temperature"};
constexpr SafeControl kHumidity{kHumidityRange.what, contract::command::kHumiditySetpoint, "湿度设定",
                                kHumidityRange.unit, &kHumidityRange, "setpoint.humidity"};
// Through an agent, its next record of the unit comes within a cycle or two.
constexpr int kReadBackWaitMs = 15000;

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
    const char* word = agent::state_word_of_text(text);
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

// Through the agent: the same messages and statuses; the point is read back
// from the agent's next record of the unit.
ExitStatus through_agent(const CommandLine& c, const SafeControl& control, const std::vector<unsigned char>& input,
                         bool force, const std::string& asked)
{
    const AgentControlAnswer answer =
        post_agent_control(parse_agent_url(c.agent.url, c.agent.cafile), c.agent.unit, c.agent.token_file, control.code,
                           input, force);
    const int64_t answered_ms = agent::utc_now_ms();
    const auto status = static_cast<ExitStatus>(answer.exit_status);
    if (status == ExitStatus::kOk)
        program_output() << asked << ": confirmed by the unit" << std::endl;
    else
        std::cerr << "qmhost: " << asked << ": " << answer.message << std::endl;
    if (status != ExitStatus::kOk && status != ExitStatus::kNotConfirmed) return status;
    const Json::Value unit = next_unit_status(parse_agent_url(c.agent.url, c.agent.cafile), c.agent.unit, answered_ms, kReadBackWaitMs);
    if (unit.isNull()) {
        std::cerr << "qmhost: could not read the point back: the agent has no newer record of " << c.agent.unit
                  << std::endl;
        return status;
    }
    const Json::Value& value = unit["values"][control.key];
    program_output() << "the unit now reports " << control.member << " = "
                     << (value.isString() ? value.asString() : agent::json_text(value) + control.unit) << std::endl;
    return status;
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
        const int value = checked_setpoint(*control.range, options.value, ForceAsked{options.force});
        input = {static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>(value >> 8)};
        asked += " " + std::to_string(value) + control.unit;
    }

    if (!c.agent.url.empty()) return through_agent(c, control, input, options.force, asked);
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
