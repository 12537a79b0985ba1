// The polling chain and the completion of control writes: every Modbus
// answer arrives here, routed by the poll step alone.
#include "driver/QM4700RX2VA9.hpp"
#include "driver/control_steps.hpp"

#include <cstring>

namespace {

// A multiple-register write is confirmed by its function code and count.
constexpr unsigned kWriteRegistersFunction = 16;

bool is_write_step(int step)
{
    switch (step) {
    case control_step::kSwitchOn:
    case control_step::kSwitchOff:
    case control_step::kTemperatureSetpoint:
    case control_step::kHumiditySetpoint:
    case control_step::kWriteRegister:
    case control_step::kWriteRegisters:
        return true;
    default:
        return false;
    }
}

}  // namespace

QM4700RX2VA9::QM4700RX2VA9() : control_result(kControlPending), expected_value(-1)
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
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + read.offset, answer, read.size);
}

bool QM4700RX2VA9::answer_confirms_write(int step) const
{
    // Answer words are unsigned 16-bit, widened before the comparison.
    const int32_t word0 = static_cast<int32_t>(static_cast<uint32_t>(m_tab_registers[0]));
    const int32_t word1 = static_cast<int32_t>(static_cast<uint32_t>(m_tab_registers[1]));
    switch (step) {
    case control_step::kSwitchOn:
        return word0 == 1;
    case control_step::kSwitchOff:
        return word0 == 0;
    case control_step::kWriteRegisters:
        return word0 == static_cast<int32_t>(kWriteRegistersFunction) && word1 == expected_value;
    default:
        return word0 == expected_value;
    }
}

int QM4700RX2VA9::process_payload(tab_type, unsigned int)
{
    const int step = m_poll_step;
    if (const PollRead* read = poll_read_at(step)) {
        store_answer(*read);
        if (step == kLastPollStep) {
            RoundDone();
            return 0;
        }
        m_poll_step = step + 1;
        send_read(*poll_read_at(step + 1));
        return 1;
    }
    if (is_write_step(step)) {
        control_result = answer_confirms_write(step) ? kControlConfirmed : kControlNotConfirmed;
        Reset();
        return 0;
    }
    return 1;
}
