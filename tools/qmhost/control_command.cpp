// qmhost control: one raw command, its write, and the driver's outcome.
#include "host/contract.hpp"
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/control_outcome.hpp"
#include "tools/qmhost/hosted_device.hpp"
#include "tools/qmhost/program_output.hpp"

#include <iostream>
#include <set>
#include <stdexcept>

namespace {

namespace command = contract::command;

// The codes that make the driver send a write.
const std::set<int> kWriteCodes = {command::kSwitchOn,           command::kSwitchOff,
                                   command::kTemperatureSetpoint, command::kHumiditySetpoint,
                                   command::kWriteRegister,       command::kWriteRegisters,
                                   command::kSignalSetpoint,      command::kSignalSwitch};
constexpr unsigned kMaxSetpointTenfold = 65535;  // the register holds value x 10

// Input the driver would misread or wrap is refused before anything is sent.
void check_input(const ControlOptions& control)
{
    const std::size_t words = control.words.size();
    const bool text = control.text.has_value();
    switch (control.code) {
    case command::kTemperatureSetpoint:
    case command::kHumiditySetpoint:
        if (words != 1 || text) throw UsageError("control " + std::to_string(control.code) + " takes one --word");
        if (control.words[0] * 10u > kMaxSetpointTenfold)
            throw UsageError("control " + std::to_string(control.code) + ": --word " +
                             std::to_string(control.words[0]) + " times 10 does not fit the register");
        break;
    case command::kWriteRegister:
        if (words != 2 || text) throw UsageError("control 206 takes --word ADDRESS --word VALUE");
        break;
    case command::kWriteRegisters:
        if (words < 2 || text) throw UsageError("control 210 takes --word ADDRESS and one --word per value");
        break;
    case command::kSignalSetpoint:
    case command::kSignalSwitch:
        if (!text || words) throw UsageError("control " + std::to_string(control.code) + " takes --text");
        break;
    default:
        break;
    }
}

}  // namespace

ExitStatus run_control(const CommandLine& c)
{
    check_input(c.control);
    OpenedDevice device(c.device);

    const ControlResult result = device->control(c.control.code, c.control.input());
    std::ostream& out = program_output();
    out << "command " << c.control.code << " handed to the driver: DeviceIoControl returned " << result.handed
        << (result.wrote ? "" : ", no write sent") << '\n';
    if (result.outcome) out << "control result: " << *result.outcome << '\n';
    out.flush();
    if (kWriteCodes.count(c.control.code) == 0) {
        if (!result.outcome)
            throw std::runtime_error("the driver did not answer the outcome query (DeviceIoControl returned " +
                                     std::to_string(result.query_returned) + ")");
        return ExitStatus::kOk;
    }
    std::string why;
    const ExitStatus status = control_exit(result, why);
    if (status != ExitStatus::kOk) std::cerr << "qmhost: " << why << std::endl;
    return status;
}
