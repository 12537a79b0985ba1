// The polling chain and the completion of control writes: every Modbus
// answer arrives here, routed by the poll step alone.
#include "driver/QM4700RX2VA9.hpp"

#include <cstring>

namespace {

namespace command = contract::command;

bool is_write_step(int step)
{
    switch (step) {
    case command::kSwitchOn:
    case command::kSwitchOff:
    case command::kTemperatureSetpoint:
    case command::kHumiditySetpoint:
    case command::kWriteRegister:
    case command::kWriteRegisters:
        return true;
    default:
        return false;
    }
}

}  // namespace

QM4700RX2VA9::QM4700RX2VA9() : control_result_(contract::kControlPending), expected_value_(-1)
{
    m_device_type = kQm4700DeviceType;
    m_line_speed = 9600;
    m_byte_setting = 1;
}

QM4700RX2VA9::~QM4700RX2VA9() = default;

int QM4700RX2VA9::InitSetting(const Json::Value& config)
{
    copy_device_id();
    return Core::InitSetting(config);
}

int QM4700RX2VA9::RefreshStatus()
{
    ZKVSPDevice::RefreshStatus();
    m_poll_step = kFirstPollStep;
    send_read(kPollingChain.front());
    return 1;
}

void QM4700RX2VA9::send_read(const PollRead& read)
{
    if (read.kind == ReadKind::Bits)
        modbus_read_bits(read.address, read.count);
    else
        modbus_read_registers(read.address, read.count);
}

// The answer is copied at the field's full size whatever its length: the
// answer tables are large enough for any field.
void QM4700RX2VA9::store_answer(const PollRead& read)
{
    const void* answer = read.kind == ReadKind::Bits ? static_cast<const void*>(m_tab_bits)
                                                     : static_cast<const void*>(m_tab_registers);
    std::memcpy(reinterpret_cast<unsigned char*>(&record_) + read.offset, answer, read.size);
}

bool QM4700RX2VA9::answer_confirms_write(int step) const
{
    // Answer words are unsigned 16-bit, widened before the comparison.
    auto word = [this](int index) {
        return static_cast<int32_t>(static_cast<uint32_t>(m_tab_registers[index]));
    };
    switch (step) {
    case command::kSwitchOn:
        return word(contract::kEchoWord) == 1;
    case command::kSwitchOff:
        return word(contract::kEchoWord) == 0;
    case command::kWriteRegisters:
        // Confirmed by the function code and the count the unit took.
        return word(contract::kFunctionWord) == contract::modbus::kWriteRegisters &&
               word(contract::kCountWord) == expected_value_;
    default:
        return word(contract::kEchoWord) == expected_value_;
    }
}

int QM4700RX2VA9::process_payload(tab_type, unsigned int)
{
    const int step = m_poll_step;
    if (const PollRead* read = poll_read_at(step)) {
        store_answer(*read);
        if (step == kLastPollStep) {
            RoundDone();
            return contract::kPayloadDone;
        }
        m_poll_step = step + 1;
        send_read(*poll_read_at(step + 1));
        return contract::kPayloadMore;
    }
    if (is_write_step(step)) {
        control_result_ = answer_confirms_write(step) ? contract::kControlConfirmed
                                                      : contract::kControlNotConfirmed;
        Reset();
        return contract::kPayloadDone;
    }
    return contract::kPayloadMore;
}
