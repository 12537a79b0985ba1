// The stand-in host's implementation of the framework declarations.
#include "host/framework.hpp"

#include "host/libmodbus_link.hpp"
#include "host/link.hpp"
#include "host/sink.hpp"

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

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

enum class RequestKind { ReadBits, ReadRegisters, WriteBit, WriteRegister, WriteRegisters };

struct Request {
    RequestKind kind = RequestKind::ReadBits;
    int address = 0;
    int count = 0;
    unsigned short values[SPModbus::kMaxWriteRegisters] = {};
};

// What the stand-in keeps per device beside the framework's members: the
// gateway's classes have no room for it, so it lives here, keyed by the device.
struct DeviceState {
    ZKVController* controller = nullptr;
    std::string name;
    // The threshold machinery: last reported state per alarm point, a point
    // being its code and alarm name together, known by a 64-bit hash of both
    // so that a cycle's reports neither allocate nor compare long texts.
    std::unordered_map<uint64_t, bool> alarm_states;
    unsigned int port_opens = 0;
    unsigned int resets = 0;
    Request request;
    bool request_pending = false;
    std::shared_ptr<ModbusLink> link;
    std::string last_error;
    LinkFailure last_failure;
};

// Devices may be created and deleted on different threads; one device's
// operations run on one thread at a time (the host's rule), so only the
// table itself is locked.
struct DeviceTable {
    std::mutex lock;
    std::unordered_map<const ZKVVDevice*, std::unique_ptr<DeviceState>> states;
};

// Never destroyed: a device deleted during the program's exit still finds it.
DeviceTable& device_table()
{
    static DeviceTable* table = new DeviceTable;
    return *table;
}

// Created on first use, erased by ~ZKVVDevice.
DeviceState& state_of(const ZKVVDevice* device)
{
    DeviceTable& table = device_table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto& slot = table.states[device];
    if (!slot) slot = std::make_unique<DeviceState>();
    return *slot;
}

void forget(const ZKVVDevice* device)
{
    DeviceTable& table = device_table();
    std::unique_ptr<DeviceState> gone;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        auto found = table.states.find(device);
        if (found == table.states.end()) return;
        gone = std::move(found->second);
        table.states.erase(found);
    }
    // The link closes outside the lock.
}

}  // namespace

HostSink& null_sink()
{
    static HostSink sink;
    return sink;
}

// ---------------------------------------------------------------- VDeviceInterface

VDeviceInterface::VDeviceInterface() : m_dev_id(0), m_use_controller_db(0) {}

VDeviceInterface::~VDeviceInterface() = default;

// ---------------------------------------------------------------- ZKVVDevice

ZKVVDevice::ZKVVDevice() : m_alarm_seq(0), m_data_ready(0), m_threshold_result(0) {}

ZKVVDevice::~ZKVVDevice() { forget(this); }

namespace {
HostSink& sink_of(const ZKVVDevice* device)
{
    ZKVController* controller = state_of(device).controller;
    return controller ? controller->sink() : null_sink();
}
}  // namespace

const std::string& ZKVVDevice::name() const { return state_of(this).name; }

bool ZKVVDevice::LoadFromCache(const unsigned char*, int) { return false; }

int ZKVVDevice::DeviceIoControl(int code, const void* input, int input_length, void* output,
                                int output_capacity, int& returned_length)
{
    return sink_of(this).on_device_io_control(
        *this, BaseIoControl{code, input, input_length, output, output_capacity, returned_length});
}

void ZKVVDevice::RoundDone() {}

int ZKVVDevice::Reset() { return 0; }

int ZKVVDevice::InitV(const std::string& name)
{
    state_of(this).name = name;
    return 0;
}

int ZKVVDevice::Init(ZKVController* controller, unsigned int dev_id)
{
    state_of(this).controller = controller;
    m_dev_id = dev_id;
    return 0;
}

int ZKVVDevice::InitSetting(const Json::Value&) { return 0; }

bool ZKVVDevice::IsSupportDevice(const std::string& type) const { return type == m_device_type; }

int ZKVVDevice::SendSP(int type, const unsigned char* data, unsigned int length, bool delayed)
{
    sink_of(this).on_send_sp(*this, type, data, length, delayed);
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
    HostSink& out = sink_of(this);
    out.on_threshold_report(
        *this, ThresholdReport{level, code, code2, code_name, alarm_name, state, sequence});

    auto& alarm_states = state_of(this).alarm_states;
    auto found = alarm_states.find(alarm_point_key(code, alarm_name));
    const bool was_active = found != alarm_states.end() && found->second;
    if (found == alarm_states.end())
        alarm_states.emplace(alarm_point_key(code, alarm_name), state);
    else
        found->second = state;
    if (state != was_active) out.on_alarm_transition(*this, AlarmTransition{code, alarm_name, state});
    return state;
}

bool ZKVVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    return sink_of(this).on_batch_check(*this, rules);
}

int ZKVVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length)
{
    sink_of(this).on_save_history(*this, data, length);
    return 0;
}

// ---------------------------------------------------------------- ZKVSPDevice

ZKVSPDevice::ZKVSPDevice() : m_line_speed(9600), m_byte_setting(0) {}

ZKVSPDevice::~ZKVSPDevice() = default;

unsigned int ZKVSPDevice::port_open_count() const { return state_of(this).port_opens; }

unsigned int ZKVSPDevice::reset_count() const { return state_of(this).resets; }

int ZKVSPDevice::Reset()
{
    ++state_of(this).resets;
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
    ++state_of(this).port_opens;
    return 0;
}

int ZKVSPDevice::ClosePort() { return 0; }

// ---------------------------------------------------------------- SPModbus

SPModbus::SPModbus() : m_poll_step(0), m_tab_bits{}, m_tab_registers{} {}

SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& config)
{
    if (!config.isObject() || !config.isMember("link")) return 0;
    try {
        attach_link(make_libmodbus_link(parse_link_settings(config["link"])));
    } catch (const std::exception& e) {
        state_of(this).last_error = e.what();
        return -1;
    }
    return 0;
}

void SPModbus::attach_link(std::shared_ptr<ModbusLink> link)
{
    state_of(this).link = std::move(link);
}

ModbusLink* SPModbus::link() const { return state_of(this).link.get(); }

const std::string& SPModbus::last_error() const { return state_of(this).last_error; }

const LinkFailure& SPModbus::last_failure() const { return state_of(this).last_failure; }

int SPModbus::Reset()
{
    state_of(this).request_pending = false;
    return ZKVSPDevice::Reset();
}

int SPModbus::OpenPort()
{
    ZKVSPDevice::OpenPort();
    DeviceState& state = state_of(this);
    if (!state.link) return -1;
    if (!state.link->open()) {
        state.last_failure = state.link->failure();
        state.last_error = state.last_failure.text();
        return -1;
    }
    return 0;
}

int SPModbus::ClosePort()
{
    if (ModbusLink* open_link = link()) open_link->close();
    return 0;
}

bool SPModbus::IsProcessing() const { return state_of(this).request_pending; }

namespace {
Request& queue(const ZKVVDevice* device, RequestKind kind, int address, int count)
{
    DeviceState& state = state_of(device);
    state.request.kind = kind;
    state.request.address = address;
    state.request.count = count;
    state.request_pending = true;
    return state.request;
}
}  // namespace

int SPModbus::modbus_read_bits(int address, int count)
{
    queue(this, RequestKind::ReadBits, address, count);
    return 0;
}

int SPModbus::modbus_read_registers(int address, int count)
{
    queue(this, RequestKind::ReadRegisters, address, count);
    return 0;
}

int SPModbus::modbus_write_bit(int address, int value)
{
    queue(this, RequestKind::WriteBit, address, 1).values[0] = value ? 1 : 0;
    return 0;
}

int SPModbus::modbus_write_register(int address, int value)
{
    queue(this, RequestKind::WriteRegister, address, 1).values[0] =
        static_cast<unsigned short>(value);
    return 0;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values)
{
    Request& request = queue(this, RequestKind::WriteRegisters, address, count);
    if (count > 0 && count <= kMaxWriteRegisters && values)
        std::memcpy(request.values, values, sizeof(unsigned short) * static_cast<unsigned>(count));
    return 0;
}

namespace {

bool address_range_ok(int address, int count, int max_count)
{
    return address >= 0 && address <= 0xFFFF && count >= 1 && count <= max_count &&
           address + count <= 0x10000;
}

// Sends the request and decodes the answer into the device's tables.
bool perform(ModbusLink& link, const Request& r, unsigned char* bits, unsigned short* registers,
             SPModbus::tab_type& table, unsigned int& length)
{
    table = SPModbus::TAB_REGISTERS;
    switch (r.kind) {
    case RequestKind::ReadBits:
        table = SPModbus::TAB_BITS;
        length = static_cast<unsigned>(r.count);
        return link.read_bits(r.address, r.count, bits);
    case RequestKind::ReadRegisters:
        length = static_cast<unsigned>(r.count);
        return link.read_registers(r.address, r.count, registers);
    case RequestKind::WriteBit:
        length = 1;
        return link.write_bit(r.address, r.values[0] != 0, registers[0]);
    case RequestKind::WriteRegister:
        length = 1;
        return link.write_register(r.address, r.values[0], registers[0]);
    case RequestKind::WriteRegisters:
        length = 2;
        return link.write_registers(r.address, r.count, r.values, registers[0], registers[1]);
    }
    return false;
}

}  // namespace

int SPModbus::process()
{
    DeviceState& state = state_of(this);
    if (!state.request_pending) return 0;
    state.request_pending = false;
    const Request& r = state.request;

    auto fail = [this, &state](const LinkFailure& why) {
        state.last_failure = why;
        state.last_error = why.text();
        on_error();
        return -1;
    };
    if (!state.link) return fail(LinkFailure{LinkFailure::Kind::NotSent, 0, "", "no Modbus link configured"});
    const int max_count = r.kind == RequestKind::ReadBits        ? kBitTableSize
                          : r.kind == RequestKind::ReadRegisters  ? kRegisterTableSize
                          : r.kind == RequestKind::WriteRegisters ? kMaxWriteRegisters
                                                                  : 1;
    if (!address_range_ok(r.address, r.count, max_count))
        return fail(LinkFailure{LinkFailure::Kind::NotSent, 0, "",
                                "request out of range: address " + std::to_string(r.address) + ", count " +
                                    std::to_string(r.count)});

    tab_type table = TAB_REGISTERS;
    unsigned int length = 0;
    if (!perform(*state.link, r, m_tab_bits, m_tab_registers, table, length))
        return fail(state.link->failure());
    process_payload(table, length);
    return 1;
}
