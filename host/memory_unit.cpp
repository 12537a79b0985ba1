#include "host/memory_unit.hpp"

#include "host/contract.hpp"

uint8_t MemoryUnit::coil(int address) const
{
    auto it = coils_.find(address);
    return it == coils_.end() ? 0 : it->second;
}

uint16_t MemoryUnit::reg(int address) const
{
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void MemoryUnit::log_requests(bool on)
{
    logging_ = on;
    if (on) log_.reserve(4096);
}

bool MemoryUnit::admit(Request::Kind kind, int address, int count)
{
    const long index = served_++;
    if (logging_) log_.push_back(Request{kind, address, count});
    if (silent_after_ >= 0 && index >= silent_after_) {
        failure_.kind = LinkFailure::Kind::NoAnswer;
        failure_.reason = "Connection timed out";
        return false;
    }
    return true;
}

bool MemoryUnit::read_bits(int address, int count, uint8_t* dest)
{
    if (!admit(Request::Kind::ReadBits, address, count)) return false;
    for (int i = 0; i < count; ++i) dest[i] = coil(address + i) ? 1 : 0;
    return true;
}

bool MemoryUnit::read_registers(int address, int count, uint16_t* dest)
{
    if (!admit(Request::Kind::ReadRegisters, address, count)) return false;
    for (int i = 0; i < count; ++i) dest[i] = reg(address + i);
    return true;
}

bool MemoryUnit::write_bit(int address, bool on, uint16_t& echoed_state)
{
    if (!admit(Request::Kind::WriteBit, address, 1)) return false;
    coils_[address] = on ? 1 : 0;
    echoed_state = echo_override_ >= 0 ? static_cast<uint16_t>(echo_override_) : (on ? 1 : 0);
    return true;
}

bool MemoryUnit::write_register(int address, uint16_t value, uint16_t& echoed_value)
{
    if (!admit(Request::Kind::WriteRegister, address, 1)) return false;
    registers_[address] = value;
    echoed_value = echo_override_ >= 0 ? static_cast<uint16_t>(echo_override_) : value;
    return true;
}

bool MemoryUnit::write_registers(int address, int count, const uint16_t* values,
                                 uint16_t& function_code, uint16_t& confirmed_count)
{
    if (!admit(Request::Kind::WriteRegisters, address, count)) return false;
    for (int i = 0; i < count; ++i) registers_[address + i] = values[i];
    function_code = contract::modbus::kWriteRegisters;
    confirmed_count = echo_override_ >= 0 ? static_cast<uint16_t>(echo_override_)
                                          : static_cast<uint16_t>(count);
    return true;
}
