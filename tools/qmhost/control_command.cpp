// qmhost control: one raw command, its write, and the driver's outcome.
#include "driver/signal_codes.hpp"
#include "host/contract.hpp"
#include "tools/qmhost/commands.hpp"
#include "hosting/control_outcome.hpp"
#include "hosting/hosted_device.hpp"
#include "tools/qmhost/opened_device.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/agent_status.hpp"
#include "tools/qmhost/setpoint_ranges.hpp"

#include <json/json.h>

#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

namespace command = contract::command;

// The codes that make the driver send a write.
const std::set<int> kWriteCodes = {command::kSwitchOn,           command::kSwitchOff,
                                   command::kTemperatureSetpoint, command::kHumiditySetpoint,
                                   command::kWriteRegister,       command::kWriteRegisters,
                                   command::kSignalSetpoint,      command::kSignalSwitch};

template <std::size_t N>
bool listed(const std::string& text, const char* const (&codes)[N])
{
    for (const char* code : codes)
        if (text == code) return true;
    return false;
}

// Any other code would reach the driver as an outcome query and print a
// result: a mistyped code must not look like one.
void check_code(int code)
{
    if (code == command::kOutcomeQuery || kWriteCodes.count(code)) return;
    throw UsageError("control " + std::to_string(code) +
                     " is not in the table of command codes (0, 100, 102, 106, 110, 206, 210, 310, 320:"
                     " qmhost control --help); nothing sent");
}

// The SetValue of a 310 text that names a setpoint's signal code, checked as
// `set` checks it. Texts the driver reads as no setpoint are left to it.
void check_signal_setpoint(const ControlOptions& control)
{
    Json::Value text;
    Json::CharReaderBuilder builder;
    std::istringstream in(*control.text);
    try {
        if (!Json::parseFromStream(builder, in, &text, nullptr)) return;
    } catch (const std::exception&) {
        return;
    }
    if (!text.isObject() || !text["signal_id"].isString()) return;
    const std::string signal = text["signal_id"].asString();
    const bool temperature = listed(signal, signal_codes::kTemperatureSetpoint);
    if (!temperature && !listed(signal, signal_codes::kHumiditySetpoint)) return;
    const SetpointRange& range = temperature ? kTemperatureRange : kHumidityRange;
    const Json::Value& value = text["SetValue"];
    // The driver reads the value's text as far as it has digits: "24.5"
    // would set 24, "abc" 0, "-5" a wrapped 65486.
    if (!value.isString() && !value.isIntegral())
        throw UsageError(std::string("control 310: ") + range.what + " needs \"SetValue\" as a whole number; nothing sent");
    checked_setpoint(range, value.asString(), control.force);
}

void check_setpoint_word(const ControlOptions& control)
{
    const SetpointRange& range =
        control.code == command::kTemperatureSetpoint ? kTemperatureRange : kHumidityRange;
    checked_setpoint(range, std::to_string(control.words[0]), control.force);
}

// Input the driver would misread or wrap is refused before anything is sent.
void check_input(const ControlOptions& control)
{
    check_code(control.code);
    const std::size_t words = control.words.size();
    const bool text = control.text.has_value();
    switch (control.code) {
    case command::kTemperatureSetpoint:
    case command::kHumiditySetpoint:
        if (words != 1 || text) throw UsageError("control " + std::to_string(control.code) + " takes one --word");
        check_setpoint_word(control);
        break;
    case command::kWriteRegister:
        if (words != 2 || text) throw UsageError("control 206 takes --word ADDRESS --word VALUE");
        break;
    case command::kWriteRegisters:
        if (words < 2 || text) throw UsageError("control 210 takes --word ADDRESS and one --word per value");
        break;
    case command::kSignalSetpoint:
        if (!text || words) throw UsageError("control 310 takes --text");
        check_signal_setpoint(control);
        break;
    case command::kSignalSwitch:
        if (!text || words) throw UsageError("control 320 takes --text");
        break;
    default:
        break;
    }
}

// The command run by the unit's line in a running agent, as the driver there answered it.
ControlResult control_through_agent(const CommandLine& c, ExitStatus& status, std::string& why)
{
    const AgentControlAnswer answer =
        post_agent_control(parse_agent_url(c.agent.url, c.agent.cafile), c.agent.unit, c.agent.token_file, c.control.code, c.control.input());
    ControlResult result;
    result.handed = answer.handed;
    result.wrote = answer.wrote;
    result.outcome = answer.result;
    status = static_cast<ExitStatus>(answer.exit_status);
    why = answer.message;
    return result;
}

ControlResult control_on_link(const CommandLine& c, ExitStatus& status, std::string& why)
{
    OpenedDevice device(c.device);
    // Until here a stop signal ends qmhost at once: nothing has been sent.
    StopSignals stop;
    const ControlResult result = device->control_through_stop(c.control.code, c.control.input(), stop);
    status = control_exit(result, why);
    return result;
}

}  // namespace

ExitStatus run_control(const CommandLine& c)
{
    check_input(c.control);
    ExitStatus status = ExitStatus::kFailed;
    std::string why;
    const ControlResult result =
        c.agent.url.empty() ? control_on_link(c, status, why) : control_through_agent(c, status, why);
    std::ostream& out = program_output();
    out << "command " << c.control.code << " handed to the driver: DeviceIoControl returned " << result.handed
        << (result.wrote ? "" : ", no write sent") << '\n';
    if (result.outcome) out << "control result: " << *result.outcome << '\n';
    out.flush();
    if (kWriteCodes.count(c.control.code) == 0) {
        if (!result.outcome)
            throw std::runtime_error("the driver did not answer the outcome query (DeviceIoControl returned " +
                                     std::to_string(result.query_returned) + ")");
        // -1 is no result at all (no write yet, or none answered): not a success.
        if (*result.outcome == contract::kControlPending) {
            std::cerr << "qmhost: no control result: no write has been answered" << std::endl;
            return ExitStatus::kFailed;
        }
        return ExitStatus::kOk;
    }
    if (status != ExitStatus::kOk) std::cerr << "qmhost: " << why << std::endl;
    return status;
}
