// qmhost control: one raw command, its write, and the driver's outcome.
#include "host/contract.hpp"
#include "tools/qmhost/commands.hpp"
#include "hosting/control_checks.hpp"
#include "hosting/control_outcome.hpp"
#include "hosting/hosted_device.hpp"
#include "tools/qmhost/opened_device.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/agent_status.hpp"

#include <iostream>
#include <stdexcept>

namespace {

namespace command = contract::command;

// The options' shape for the code, in the command line's words; then the
// checks every control passes, through an agent or not.
void check_input(const ControlOptions& control)
{
    check_known_code(control.code);
    const std::size_t words = control.words.size();
    const bool text = control.text.has_value();
    switch (control.code) {
    case command::kTemperatureSetpoint:
    case command::kHumiditySetpoint:
        if (words != 1 || text) throw UsageError("control " + std::to_string(control.code) + " takes one --word");
        break;
    case command::kWriteRegister:
        if (words != 2 || text) throw UsageError("control 206 takes --word ADDRESS --word VALUE");
        break;
    case command::kWriteRegisters:
        if (words < 2 || text) throw UsageError("control 210 takes --word ADDRESS and one --word per value");
        break;
    case command::kSignalSetpoint:
        if (!text || words) throw UsageError("control 310 takes --text");
        break;
    case command::kSignalSwitch:
        if (!text || words) throw UsageError("control 320 takes --text");
        break;
    default:
        break;
    }
    check_control(control.code, control.input(), ForceAsked{control.force});
}

// The command run by the unit's line in a running agent, as the driver there answered it.
ControlResult control_through_agent(const CommandLine& c, ExitStatus& status, std::string& why)
{
    const AgentControlAnswer answer =
        post_agent_control(parse_agent_url(c.agent.url, c.agent.cafile), c.agent.unit, c.agent.token_file,
                           c.control.code, c.control.input(), c.control.force);
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
    if (!writes_to_unit(c.control.code)) {
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
