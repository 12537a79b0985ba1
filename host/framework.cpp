// The stand-in host's implementation of the framework declarations.
#include "host/framework.hpp"

#include "host/libmodbus_link.hpp"
#include "host/link.hpp"
#include "host/sink.hpp"

#include <cstring>

ttime get_ttime(const boost::posix_time::ptime& t)
{
    ttime stamp{};
    if (t.is_special()) return stamp;
    const auto date = t.date();
    const auto clock = t.time_of_day();
    stamp.year = static_cast<uint16_t>(date.year());
    stamp.month = static_cast<uint8_t>(date.month().as_number());
    stamp.day = static_cast<uint8_t>(date.day());
    stamp.hour = static_cast<uint8_t>(clock.hours());
    stamp.minute = static_cast<uint8_t>(clock.minutes());
    stamp.second = static_cast<uint8_t>(clock.seconds());
    return stamp;
}

namespace {

// FNV-1a over the code, a separator and the alarm name.
uint64_t alarm_point_key(const std::string& code, const std::string& alarm_name)
{
    uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](unsigned char c) { hash = (hash ^ c) * 1099511628211ull; };
    for (char c : code) mix(static_cast<unsigned char>(c));
    mix(0x1f);
    for (char c : alarm_name) mix(static_cast<unsigned char>(c));
    return hash;
}

}  // namespace

HostSink& null_sink()
{
    static HostSink sink;
    return sink;
}

ZKVController::ZKVController(HostSink* sink) : sink_(sink) {}

HostSink& ZKVController::sink() const { return sink_ ? *sink_ : null_sink(); }

// ---------------------------------------------------------------- VDeviceInterface

VDeviceInterface::VDeviceInterface() : m_dev_id(0), m_use_controller_db(0) {}

VDeviceInterface::~VDeviceInterface() = default;

// ---------------------------------------------------------------- ZKVVDevice

ZKVVDevice::ZKVVDevice()
    : m_controller(nullptr), m_alarm_seq(0), m_data_ready(0), m_threshold_result(0)
{
}

ZKVVDevice::~ZKVVDevice() = default;

HostSink& ZKVVDevice::sink() const { return m_controller ? m_controller->sink() : null_sink(); }

bool ZKVVDevice::LoadFromCache(const unsigned char*, int) { return false; }

int ZKVVDevice::DeviceIoControl(int code, const void* input, int input_length, void* output,
                                int output_capacity, int& returned_length)
{
    return sink().on_device_io_control(
        *this, BaseIoControl{code, input, input_length, output, output_capacity, returned_length});
}

void ZKVVDevice::RoundDone() {}

int ZKVVDevice::Reset() { return 0; }

int ZKVVDevice::InitV(const std::string& name)
{
    m_name = name;
    return 0;
}

int ZKVVDevice::Init(ZKVController* controller, unsigned int dev_id)
{
    m_controller = controller;
    m_dev_id = dev_id;
    return 0;
}

int ZKVVDevice::InitSetting(const Json::Value&) { return 0; }

bool ZKVVDevice::IsSupportDevice(const std::string& type) const { return type == m_device_type; }

int ZKVVDevice::SendSP(int type, const unsigned char* data, unsigned int length, bool delayed)
{
    sink().on_send_sp(*this, type, data, length, delayed);
    return 0;
}

int ZKVVDevice::SendDelayData(const unsigned char* data, unsigned int length)
{
    return SendSP(0, data, length, true);
}

int ZKVVDevice::SendDoData(int, int) { return -1; }

int ZKVVDevice::ReadDi(int) { return -1; }

float ZKVVDevice::ReadAi(int) { return 0.0f; }

float ZKVVDevice::Get_SP_Value(const std::string&) const
{
    throw std::out_of_range("不支持变量");
}

bool ZKVVDevice::CheckThresholdBool(int level, const std::string& code, const std::string& code2,
                                    const std::string& code_name, const std::string& alarm_name,
                                    bool state, unsigned short sequence)
{
    HostSink& out = sink();
    out.on_threshold_report(
        *this, ThresholdReport{level, code, code2, code_name, alarm_name, state, sequence});

    auto found = m_alarm_states.find(alarm_point_key(code, alarm_name));
    const bool was_active = found != m_alarm_states.end() && found->second;
    if (found == m_alarm_states.end())
        m_alarm_states.emplace(alarm_point_key(code, alarm_name), state);
    else
        found->second = state;
    if (state != was_active) out.on_alarm_transition(*this, AlarmTransition{code, alarm_name, state});
    return state;
}

bool ZKVVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    return sink().on_batch_check(*this, rules);
}

int ZKVVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length)
{
    sink().on_save_history(*this, data, length);
    return 0;
}

// ---------------------------------------------------------------- ZKVSPDevice

ZKVSPDevice::ZKVSPDevice() : m_line_speed(9600), m_byte_setting(0), m_port_opens(0), m_resets(0)
{
}

ZKVSPDevice::~ZKVSPDevice() = default;

int ZKVSPDevice::Reset()
{
    ++m_resets;
    return 0;
}

int ZKVSPDevice::RefreshStatus() { return 0; }

int ZKVSPDevice::process() { return 0; }

bool ZKVSPDevice::IsProcessing() const { return false; }

bool ZKVSPDevice::IsStalled() const { return false; }

int ZKVSPDevice::SendData(const unsigned char*, int) { return -1; }

int ZKVSPDevice::SendParityData(const unsigned char*, int, EnumParity) { return -1; }

int ZKVSPDevice::OpenPort()
{
    ++m_port_opens;
    return 0;
}

int ZKVSPDevice::ClosePort() { return 0; }

// ---------------------------------------------------------------- SPModbus

SPModbus::SPModbus() : m_poll_step(0), m_tab_bits{}, m_tab_registers{}, m_request_pending(false) {}

SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& config)
{
    if (!config.isObject() || !config.isMember("link")) return 0;
    try {
        attach_link(make_libmodbus_link(parse_link_settings(config["link"])));
    } catch (const std::exception& e) {
        m_last_error = e.what();
        return -1;
    }
    return 0;
}

void SPModbus::attach_link(std::shared_ptr<ModbusLink> link) { m_link = std::move(link); }

int SPModbus::Reset()
{
    m_request_pending = false;
    return ZKVSPDevice::Reset();
}

int SPModbus::OpenPort()
{
    ZKVSPDevice::OpenPort();
    if (!m_link) return -1;
    if (!m_link->open()) {
        m_last_error = m_link->error();
        return -1;
    }
    return 0;
}

int SPModbus::ClosePort()
{
    if (m_link) m_link->close();
    return 0;
}

bool SPModbus::IsProcessing() const { return m_request_pending; }

int SPModbus::queue(RequestKind kind, int address, int count)
{
    m_request.kind = kind;
    m_request.address = address;
    m_request.count = count;
    m_request_pending = true;
    return 0;
}

int SPModbus::modbus_read_bits(int address, int count)
{
    return queue(RequestKind::ReadBits, address, count);
}

int SPModbus::modbus_read_registers(int address, int count)
{
    return queue(RequestKind::ReadRegisters, address, count);
}

int SPModbus::modbus_write_bit(int address, int value)
{
    queue(RequestKind::WriteBit, address, 1);
    m_request.values[0] = value ? 1 : 0;
    return 0;
}

int SPModbus::modbus_write_register(int address, int value)
{
    queue(RequestKind::WriteRegister, address, 1);
    m_request.values[0] = static_cast<unsigned short>(value);
    return 0;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values)
{
    queue(RequestKind::WriteRegisters, address, count);
    if (count > 0 && count <= kMaxWriteRegisters && values)
        std::memcpy(m_request.values, values, sizeof(unsigned short) * static_cast<unsigned>(count));
    return 0;
}

int SPModbus::fail(const std::string& why)
{
    m_last_error = why;
    on_error();
    return -1;
}

namespace {
bool address_range_ok(int address, int count, int max_count)
{
    return address >= 0 && address <= 0xFFFF && count >= 1 && count <= max_count &&
           address + count <= 0x10000;
}
}  // namespace

bool SPModbus::perform(const Request& r, tab_type& table, unsigned int& length)
{
    table = TAB_REGISTERS;
    switch (r.kind) {
    case RequestKind::ReadBits:
        table = TAB_BITS;
        length = static_cast<unsigned>(r.count);
        return m_link->read_bits(r.address, r.count, m_tab_bits);
    case RequestKind::ReadRegisters:
        length = static_cast<unsigned>(r.count);
        return m_link->read_registers(r.address, r.count, m_tab_registers);
    case RequestKind::WriteBit:
        length = 1;
        return m_link->write_bit(r.address, r.values[0] != 0, m_tab_registers[0]);
    case RequestKind::WriteRegister:
        length = 1;
        return m_link->write_register(r.address, r.values[0], m_tab_registers[0]);
    case RequestKind::WriteRegisters:
        length = 2;
        return m_link->write_registers(r.address, r.count, r.values, m_tab_registers[0],
                                       m_tab_registers[1]);
    }
    return false;
}

int SPModbus::process()
{
    if (!m_request_pending) return 0;
    m_request_pending = false;
    const Request& r = m_request;

    if (!m_link) return fail("no Modbus link configured");
    const int max_count = r.kind == RequestKind::ReadBits        ? kBitTableSize
                          : r.kind == RequestKind::ReadRegisters  ? kRegisterTableSize
                          : r.kind == RequestKind::WriteRegisters ? kMaxWriteRegisters
                                                                  : 1;
    if (!address_range_ok(r.address, r.count, max_count))
        return fail("request out of range: address " + std::to_string(r.address) + ", count " +
                    std::to_string(r.count));

    tab_type table = TAB_REGISTERS;
    unsigned int length = 0;
    if (!perform(r, table, length)) return fail(m_link->error());
    process_payload(table, length);
    return 1;
}
