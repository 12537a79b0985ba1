// The stand-in host's view of a Modbus line: one request, one answer.
// Implementations: LibmodbusLink (RTU or TCP) and MemoryUnit (tests).
#pragma once

#include <cstdint>
#include <string>

class ModbusLink {
public:
    virtual ~ModbusLink() = default;

    // Each call performs one request and waits for its answer. On failure
    // it returns false and error() says what went wrong.
    virtual bool read_bits(int address, int count, uint8_t* dest) = 0;
    virtual bool read_registers(int address, int count, uint16_t* dest) = 0;
    // The echo as the unit sent it: the coil state (1, 0, or the raw value
    // when it is neither), or the register value.
    virtual bool write_bit(int address, bool on, uint16_t& echoed_state) = 0;
    virtual bool write_register(int address, uint16_t value, uint16_t& echoed_value) = 0;
    // The confirmation frame's function code and register count.
    virtual bool write_registers(int address, int count, const uint16_t* values,
                                 uint16_t& function_code, uint16_t& confirmed_count) = 0;

    // Opens the line if it is not open; false (with error()) if it cannot be.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual const std::string& error() const = 0;
};
