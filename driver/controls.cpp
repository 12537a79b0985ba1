// Control commands from the monitoring centre, the outcome query, and the
// per-variable read the driver does not support. A command never waits for
// the unit: it records what the answer must confirm, sends one write, and
// the answer settles the control result (see polling.cpp).
//
// Command input arrives from outside, through the host: lengths and contents
// are checked before anything is read, and nothing the JSON library raises
// escapes into the host.
#include "driver/QM4700RX2VA9.hpp"
#include "driver/signal_codes.hpp"
#include "driver/unit_objects.hpp"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

using unit_objects::kHumiditySetpointRegister;
using unit_objects::kOnOffBit;
using unit_objects::kTemperatureSetpointRegister;

namespace command = contract::command;

constexpr int kRefused = contract::kCommandRefused;

template <std::size_t N>
bool listed(const std::string& text, const char* const (&codes)[N])
{
    for (const char* code : codes)
        if (text == code) return true;
    return false;
}

bool input_readable(const void* input, int input_length)
{
    return input_length >= 0 && (input_length == 0 || input != nullptr);
}

// Input words are unsigned 16-bit in host order; the buffer may sit at any
// address, so words are copied out byte-wise.
uint16_t input_word(const void* input, int index)
{
    uint16_t word;
    std::memcpy(&word, static_cast<const unsigned char*>(input) + 2 * index, sizeof word);
    return word;
}

// atoi's reading of a text (leading blanks, a sign, digits up to the first
// other character, 0 without digits) reduced to 16 bits; well defined also
// for texts whose number does not fit an int.
uint16_t text_to_u16(const std::string& text)
{
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<uint16_t>(static_cast<unsigned long long>(value));
}

// Arrays and objects have no text: jsoncpp throws when asked for one.
bool has_text(const Json::Value& v) { return !v.isArray() && !v.isObject(); }

// Where a signal-code setpoint goes; register 0 when nothing is written.
struct SetpointWrite {
    int address = 0;
    uint16_t value = 0;
};

// Reads {"signal_id": code, "SetValue": whole units}. False for what cannot be
// read without jsoncpp throwing: a text it cannot parse (nesting past its
// depth limit included), a root that is an array or a scalar other than null,
// a member that is looked up or converted while it is an array or object.
// An absent or null member, a null root and an unlisted code write nothing.
bool read_signal_setpoint(const char* text, int length, SetpointWrite& write)
{
    try {
        Json::Value command;
        Json::Reader reader;
        if (!reader.parse(text, text + length, command, true)) return false;
        if (command.isNull()) return true;
        if (!command.isObject()) return false;
        const Json::Value& signal = command["signal_id"];
        if (signal.isNull()) return true;
        if (!has_text(signal)) return false;
        const std::string signal_id = signal.asString();
        int address = 0;
        if (listed(signal_id, signal_codes::kTemperatureSetpoint))
            address = kTemperatureSetpointRegister;
        else if (listed(signal_id, signal_codes::kHumiditySetpoint))
            address = kHumiditySetpointRegister;
        else
            return true;
        const Json::Value& set_value = command["SetValue"];
        if (set_value.isNull()) return true;
        if (!has_text(set_value)) return false;
        write.value = static_cast<uint16_t>(text_to_u16(set_value.asString()) * 10);
        write.address = address;
        return true;
    } catch (const std::exception&) {
        // jsoncpp's own exceptions, and the allocation failures of a huge text.
        return false;
    }
}

}  // namespace

int QM4700RX2VA9::DeviceIoControl(int code, const void* input, int input_length, void* output,
                                  int output_capacity, int& returned_length)
{
    // The gateway's log shows every command code the driver was handed.
    std::cout << "QM4700RX2VA9::DeviceIoControl " << code << std::endl;
    const Command c{code, input, input_length, output, output_capacity, returned_length};
    switch (code) {
    case command::kSwitchOn:
        return command_switch(c, 1);
    case command::kSwitchOff:
        return command_switch(c, 0);
    case command::kTemperatureSetpoint:
        return command_setpoint(c, kTemperatureSetpointRegister);
    case command::kHumiditySetpoint:
        return command_setpoint(c, kHumiditySetpointRegister);
    case command::kWriteRegister:
        return command_write_register(c);
    case command::kWriteRegisters:
        return command_write_registers(c);
    case command::kSignalSetpoint:
        return command_signal_setpoint(c);
    case command::kSignalSwitch:
        return command_signal_switch(c);
    case command::kReportText:
        return report_text(c.output, c.output_capacity, c.returned_length);
    case command::kReportHandle:
        return report_handle(c.output, c.output_capacity, c.returned_length);
    default:
        return outcome_query(c);
    }
}

// What the host does with a command after the driver: its result is the
// command's result.
inline int QM4700RX2VA9::pass_on(const Command& c)
{
    return ZKVVDevice::DeviceIoControl(c.code, c.input, c.input_length, c.output, c.output_capacity,
                                       c.returned_length);
}

// Every control starts alike: its step routes the unit's answer, and the
// result is pending until that answer comes.
inline void QM4700RX2VA9::start_control(int step)
{
    m_poll_step = step;
    control_result_ = contract::kControlPending;
    ZKVSPDevice::OpenPort();
}

// The start of one write, right before it is sent: the answer must confirm
// `expected`. `open_port` is false only for a switch by signal code: its
// common start has opened the port, and the gateway expects one open there.
inline void QM4700RX2VA9::start_write(int step, int expected, bool open_port)
{
    if (open_port) {
        start_control(step);
    } else {
        m_poll_step = step;
        control_result_ = contract::kControlPending;
    }
    expected_value_ = expected;
}

int QM4700RX2VA9::command_switch(const Command& c, int bit_value)
{
    start_write(c.code, bit_value);
    modbus_write_bit(kOnOffBit, bit_value);
    return pass_on(c);
}

// The setpoint in whole units; the unit holds tenths. The tenfold is kept
// whole, so a value past 6553 can never be confirmed by a 16-bit echo.
int QM4700RX2VA9::command_setpoint(const Command& c, int address)
{
    if (!input_readable(c.input, c.input_length)) return kRefused;
    if (c.input_length == 2) {
        start_write(c.code, static_cast<int>(input_word(c.input, 0)) * 10);
        modbus_write_register(address, expected_value_);
    }
    return pass_on(c);
}

int QM4700RX2VA9::command_write_register(const Command& c)
{
    if (!input_readable(c.input, c.input_length) || c.input_length < 4) return kRefused;
    const uint16_t address = input_word(c.input, 0);
    const uint16_t value = input_word(c.input, 1);
    start_write(c.code, value);
    modbus_write_register(address, value);
    return 0;
}

// Words: the start address, then the values; an odd trailing byte is ignored.
int QM4700RX2VA9::command_write_registers(const Command& c)
{
    if (!input_readable(c.input, c.input_length)) return kRefused;
    const int count = c.input_length / 2 - 1;
    if (count < 1 || count > contract::kMaxWriteRegisters) return kRefused;
    unsigned short values[contract::kMaxWriteRegisters];
    for (int i = 0; i < count; ++i) values[i] = input_word(c.input, i + 1);
    start_write(c.code, count);
    modbus_write_registers(input_word(c.input, 0), count, values);
    return 0;
}

// {"signal_id": code, "SetValue": whole units}: the setpoint addressed by
// the monitoring centre's signal code.
int QM4700RX2VA9::command_signal_setpoint(const Command& c)
{
    if (!input_readable(c.input, c.input_length)) return kRefused;
    start_control(c.code);

    SetpointWrite write;
    if (!read_signal_setpoint(static_cast<const char*>(c.input), c.input_length, write))
        return kRefused;
    if (write.address != 0) {
        const bool temperature = write.address == kTemperatureSetpointRegister;
        // The port is opened a second time on purpose: the gateway expects two
        // opens from a signal-code setpoint that writes (a switch opens once).
        start_write(temperature ? command::kTemperatureSetpoint : command::kHumiditySetpoint,
                    write.value);
        modbus_write_register(write.address, static_cast<int16_t>(write.value));
    }
    return pass_on(c);
}

// The text is the signal code itself, exactly input-length bytes.
int QM4700RX2VA9::command_signal_switch(const Command& c)
{
    if (!input_readable(c.input, c.input_length)) return kRefused;
    start_control(c.code);
    const std::string text(static_cast<const char*>(c.input), static_cast<std::size_t>(c.input_length));
    const bool on = listed(text, signal_codes::kSwitchOn);
    if (on || listed(text, signal_codes::kSwitchOff)) {
        start_write(on ? command::kSwitchOn : command::kSwitchOff, on ? 1 : 0, false);
        modbus_write_bit(kOnOffBit, on ? 1 : 0);
    }
    return pass_on(c);
}

// Any other code: the outcome of the last control write, then the host.
int QM4700RX2VA9::outcome_query(const Command& c)
{
    if (c.output != nullptr && c.output_capacity >= static_cast<int>(sizeof control_result_)) {
        std::memcpy(c.output, &control_result_, sizeof control_result_);
        c.returned_length = static_cast<int>(sizeof control_result_);
    } else {
        c.returned_length = 0;
    }
    return pass_on(c);
}

// Kept on purpose: the gateway asks for single variables, but this unit is
// reported only through its record and report, so every call throws; the
// gateway logs the text as the reason (not ready, stale, not supported).
float QM4700RX2VA9::Get_Value(unsigned int, const std::string&) const
{
    if (m_data_ready != 1) throw std::out_of_range("数据未就绪");
    const auto age = (boost::posix_time::second_clock::local_time() - m_cycle_time).total_seconds();
    if (age > 60) throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}
