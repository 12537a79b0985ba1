#include "hosting/control_checks.hpp"

#include "driver/signal_codes.hpp"
#include "host/contract.hpp"

#include <json/json.h>

#include <charconv>
#include <exception>
#include <memory>

namespace {

namespace command = contract::command;

template <std::size_t N>
bool listed(const std::string& text, const char* const (&codes)[N])
{
    for (const char* code : codes)
        if (text == code) return true;
    return false;
}

[[noreturn]] void refuse(const char* check, const std::string& why)
{
    throw ControlRefused(check, why + "; nothing sent");
}

std::string bytes_text(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

void check_input_shape(int code, std::size_t bytes)
{
    const std::string control = "control " + std::to_string(code);
    switch (code) {
    case command::kTemperatureSetpoint:
    case command::kHumiditySetpoint:
        if (bytes != 2)
            refuse(control_check::kInput, control + " takes one word (2 bytes of input), not " + bytes_text(bytes));
        break;
    case command::kWriteRegister:
        if (bytes != 4)
            refuse(control_check::kInput, control + " takes two words, address and value (4 bytes of input), not " +
                                              bytes_text(bytes));
        break;
    case command::kWriteRegisters:
        if (bytes < 4 || bytes % 2 != 0)
            refuse(control_check::kInput, control + " takes an address word and one word per value (4, 6, 8 ... "
                                                    "bytes of input), not " + bytes_text(bytes));
        break;
    default:
        break;
    }
}

// The SetValue of a 310 text that names a setpoint's signal code, checked as
// `set` checks it. Texts the driver reads as no setpoint are left to it.
void check_signal_setpoint(const std::vector<unsigned char>& input, const ForceAsked& force)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char* begin = reinterpret_cast<const char*>(input.data());
    Json::Value text;
    try {
        if (!reader->parse(begin, begin + input.size(), &text, nullptr)) return;
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
        refuse(control_check::kWholeNumber,
               std::string("control 310: ") + range.what + " needs \"SetValue\" as a whole number");
    checked_setpoint(range, value.asString(), force);
}

}  // namespace

int checked_setpoint(const SetpointRange& range, const std::string& text, const ForceAsked& force)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        refuse(control_check::kWholeNumber, std::string(range.what) + " must be a whole number (the unit takes whole" +
                                                range.unit + "), not \"" + text + "\"");
    const int low = force.force ? 0 : range.low;
    const int high = force.force ? kForcedHigh : range.high;
    if (value < low || value > high) {
        const std::string hint =
            force.force ? "" : std::string(" (") + force.named + " allows 0 to " + std::to_string(kForcedHigh) + ")";
        refuse(control_check::kSetpointRange, std::string(range.what) + " " + text + range.unit + " is outside " +
                                                  std::to_string(low) + " to " + std::to_string(high) + range.unit + hint);
    }
    return value;
}

bool writes_to_unit(int code)
{
    switch (code) {
    case command::kSwitchOn:
    case command::kSwitchOff:
    case command::kTemperatureSetpoint:
    case command::kHumiditySetpoint:
    case command::kWriteRegister:
    case command::kWriteRegisters:
    case command::kSignalSetpoint:
    case command::kSignalSwitch:
        return true;
    default:
        return false;
    }
}

void check_known_code(int code)
{
    // Any other code would reach the driver as an outcome query and answer
    // with a result: a mistyped code must not look like one.
    if (code != command::kOutcomeQuery && !writes_to_unit(code))
        refuse(control_check::kKnownCode, "control " + std::to_string(code) +
                                              " is not in the table of command codes (0, 100, 102, 106, 110, 206, 210,"
                                              " 310, 320)");
}

void check_control(int code, const std::vector<unsigned char>& input, const ForceAsked& force)
{
    check_known_code(code);
    check_input_shape(code, input.size());
    if (code == command::kTemperatureSetpoint || code == command::kHumiditySetpoint) {
        const int word = input[0] | input[1] << 8;
        checked_setpoint(code == command::kTemperatureSetpoint ? kTemperatureRange : kHumidityRange,
                         std::to_string(word), force);
    }
    if (code == command::kSignalSetpoint) check_signal_setpoint(input, force);
}
