// An in-memory Modbus slave for tests and benchmarks: coils and holding
// registers in maps (absent addresses read 0), writes stored and echoed,
// and faults on request.
#pragma once

#include "host/link.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class MemoryUnit : public ModbusLink {
public:
    struct Request {
        enum class Kind { ReadBits, ReadRegisters, WriteBit, WriteRegister, WriteRegisters };
        Kind kind;
        int address;
        int count;
    };

    void set_coil(int address, uint8_t value) { coils_[address] = value; }
    void set_register(int address, uint16_t value) { registers_[address] = value; }
    uint8_t coil(int address) const;
    uint16_t reg(int address) const;

    // Faults: every request after the first `requests` ones times out;
    // -1 turns that off.
    void go_silent_after(long requests) { silent_after_ = requests; }
    // Writes are stored, but their echo carries this value instead.
    void set_echo_override(int value) { echo_override_ = value; }
    // Requests are logged only when asked to, so the polling path stays
    // free of allocations otherwise.
    void log_requests(bool on);
    const std::vector<Request>& requests() const { return log_; }
    long request_count() const { return served_; }

    bool read_bits(int address, int count, uint8_t* dest) override;
    bool read_registers(int address, int count, uint16_t* dest) override;
    bool write_bit(int address, bool on, uint16_t& echoed_state) override;
    bool write_register(int address, uint16_t value, uint16_t& echoed_value) override;
    bool write_registers(int address, int count, const uint16_t* values, uint16_t& function_code,
                         uint16_t& confirmed_count) override;
    bool open() override { return true; }
    void close() override {}
    const LinkFailure& failure() const override { return failure_; }

private:
    bool admit(Request::Kind kind, int address, int count);

    std::map<int, uint8_t> coils_;
    std::map<int, uint16_t> registers_;
    long silent_after_ = -1;
    int echo_override_ = -1;
    bool logging_ = false;
    long served_ = 0;
    std::vector<Request> log_;
    LinkFailure failure_;
};
