// The project's model of the gateway's device framework: the classes,
// virtual slots, data members and operations the driver needs of it, and
// nothing else. The gateway links its own implementation; this project links
// the stand-in in host/ (libzkvhost). The order of the virtual operations and
// the data members is the framework's ABI: a driver built here must fit the
// gateway's vtables, and the members it lays out after the framework's sit at
// the offsets these declarations give (tests/framework_layout_test.cpp pins
// them). The stand-in keeps its own state outside these classes, in a table
// keyed by the device (host/framework.cpp).
#pragma once

#include "host/contract.hpp"

#include <json/json.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <climits>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class ModbusLink;
struct LinkFailure;

#pragma pack(push, 1)
// The framework's 7-byte time stamp: year, then month to second.
struct ttime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(ttime) == 7, "ttime is 7 bytes on the wire");

ttime get_ttime(const boost::posix_time::ptime& t);

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

// One entry of the framework's threshold rule vector; filled by the host only.
struct rule_value {
    std::string key;
    int level = 0;
    float value = 0.0f;
};

// The controller a device belongs to; the driver only passes it on. The
// stand-in defines it in host/sink.hpp.
class ZKVController;

class VDeviceInterface {
public:
    VDeviceInterface();

    virtual float Get_Value(unsigned int /*variable*/, const std::string& /*name*/) const
    {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& data)
    {
        if (data.size() > static_cast<std::size_t>(INT_MAX)) return false;
        return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                             static_cast<int>(data.size()));
    }
    virtual bool LoadFromCache(const unsigned char* data, int length) = 0;
    virtual unsigned int DataId() const { return m_dev_id; }
    virtual std::string DeviceType() const { return m_device_type; }
    virtual int DeviceIoControl(int code, const void* input, int input_length, void* output,
                                int output_capacity, int& returned_length) = 0;
    virtual void RoundDone() = 0;
    virtual unsigned char UseControllerDb() const { return m_use_controller_db; }
    virtual ~VDeviceInterface();

protected:
    unsigned int m_dev_id;
    std::string m_device_type;
    unsigned char m_use_controller_db;
};

class ZKVVDevice : public VDeviceInterface {
public:
    ZKVVDevice();
    ~ZKVVDevice() override;

    using VDeviceInterface::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int length) override;
    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& returned_length) override;
    void RoundDone() override;

    virtual int Reset();
    virtual int InitV(const std::string& name);
    virtual int Init(ZKVController* controller, unsigned int dev_id);
    virtual int InitSetting(const Json::Value& config);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<ZKVVDevice> GetChildVDevice(unsigned int /*id*/) { return {}; }
    virtual std::vector<std::shared_ptr<ZKVVDevice>> GetAllChildVDevices() { return {}; }
    virtual int SendSP(int type, const unsigned char* data, unsigned int length, bool delayed);
    virtual int SendDelayData(const unsigned char* data, unsigned int length);
    virtual int SendDoData(int channel, int value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(const std::string& name) const;

    bool CheckThresholdBool(int level, const std::string& code, const std::string& code2,
                            const std::string& code_name, const std::string& alarm_name,
                            bool state, unsigned short sequence);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    int SaveDeviceHistory(const unsigned char* data, unsigned int length);

    // Stand-in seams for the tools and tests, not the gateway's: the driver
    // never calls them. Those that read framework members are inline; the
    // others reach the stand-in's own state (host/framework.cpp).
    const std::string& name() const;
    unsigned char data_ready() const { return m_data_ready; }
    unsigned short alarm_sequence() const { return m_alarm_seq; }
    const boost::posix_time::ptime& cycle_time() const { return m_cycle_time; }
    void set_cycle_time(const boost::posix_time::ptime& t) { m_cycle_time = t; }
    std::vector<rule_value>& rule_vector() { return m_rule_vector; }
    unsigned char threshold_result() const { return m_threshold_result; }
    std::map<std::string, int>& level_map() { return m_level_map; }
    std::map<std::string, float>& value_map() { return m_value_map; }

protected:
    unsigned short m_alarm_seq;
    boost::posix_time::ptime m_cycle_time;
    unsigned char m_data_ready;
    std::vector<rule_value> m_rule_vector;
    unsigned char m_threshold_result;
    std::map<std::string, int> m_level_map;
    std::map<std::string, float> m_value_map;
};

class ZKVSPDevice : public ZKVVDevice {
public:
    ZKVSPDevice();
    ~ZKVSPDevice() override;

    int Reset() override;

    virtual int RefreshStatus();
    virtual int process();
    virtual bool IsProcessing() const;
    virtual bool IsStalled() const;
    virtual int SendData(const unsigned char* data, int length);
    virtual int SendParityData(const unsigned char* data, int length, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

    int line_speed() const { return m_line_speed; }
    unsigned char byte_setting() const { return m_byte_setting; }
    unsigned int port_open_count() const;
    unsigned int reset_count() const;

protected:
    int m_line_speed;
    unsigned char m_byte_setting;
};

class SPModbus : public ZKVSPDevice {
public:
    enum tab_type { TAB_BITS = 0, TAB_REGISTERS = 1 };

    // Largest answers one Modbus read can carry; the answer tables hold them
    // whole, so copying a field out of them never runs past their end.
    static constexpr int kBitTableSize = contract::kMaxReadBits;
    static constexpr int kRegisterTableSize = contract::kMaxReadRegisters;
    static constexpr int kMaxWriteRegisters = contract::kMaxWriteRegisters;

    SPModbus();
    ~SPModbus() override;

    int InitSetting(const Json::Value& config) override;
    int Reset() override;
    int process() override;
    bool IsProcessing() const override;
    int OpenPort() override;
    int ClosePort() override;

    virtual int process_payload(tab_type table, unsigned int length) = 0;
    virtual int on_error()
    {
        std::cout << "SPModbus get error" << std::endl;
        return 0;
    }

    int modbus_read_bits(int address, int count);
    int modbus_read_registers(int address, int count);
    int modbus_write_bit(int address, int value);
    int modbus_write_register(int address, int value);
    int modbus_write_registers(int address, int count, const unsigned short* values);

    // Stand-in seams: the link the requests go over, what went wrong last
    // (the settings, the line or a request), and the last request that failed.
    void attach_link(std::shared_ptr<ModbusLink> link);
    ModbusLink* link() const;
    const std::string& last_error() const;
    const LinkFailure& last_failure() const;
    int poll_step() const { return m_poll_step; }
    const unsigned char* bit_table() const { return m_tab_bits; }
    const unsigned short* register_table() const { return m_tab_registers; }

protected:
    int m_poll_step;
    unsigned char m_tab_bits[kBitTableSize];
    unsigned short m_tab_registers[kRegisterTableSize];
};

class Provider {
public:
    Provider() {}
    virtual ~Provider() {}
};

class ZKVSPDeviceProvider : public Provider {
public:
    ZKVSPDeviceProvider() {}
    ~ZKVSPDeviceProvider() override {}
    virtual ZKVSPDevice* create() const = 0;
};
