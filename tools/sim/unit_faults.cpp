#include "tools/sim/unit_faults.hpp"

#include "tools/sim/rtu_crc.hpp"

#include <modbus/modbus.h>

bool read_covers(const uint8_t* pdu, int address)
{
    const int function = pdu[0];
    if (address < 0 || (function != MODBUS_FC_READ_COILS && function != MODBUS_FC_READ_HOLDING_REGISTERS &&
                        function != MODBUS_FC_WRITE_AND_READ_REGISTERS))
        return false;
    const int first = (pdu[1] << 8) | pdu[2];
    const int count = (pdu[3] << 8) | pdu[4];
    return address >= first && address < first + count;
}

void FaultLine::set(const UnitFaults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
    draws_.seed(static_cast<std::mt19937::result_type>(faults.fault_seed));
}

FaultLine::Turn FaultLine::turn(long n, const uint8_t* pdu)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Turn turn;
    turn.faults = faults_;
    // Both drawn for every request, so that each fault's draws do not depend on the other's.
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const bool dropped = chance(draws_) < faults_.drop;
    turn.duplicated = chance(draws_) < faults_.duplicate;
    if ((faults_.silent_after >= 0 && n > faults_.silent_after) ||
        (faults_.drop_every > 0 && n % faults_.drop_every == 0) || dropped)
        turn.answered = false;
    else
        turn.line_faults = chosen_for_line_faults(pdu);
    return turn;
}

bool FaultLine::chosen_for_line_faults(const uint8_t* pdu)
{
    const UnitFaults& f = faults_;
    if (f.late_ms == 0 && !f.bad_crc && !f.other_slave && !f.truncated && f.trickle_ms == 0) return false;
    if (f.address >= 0 && !read_covers(pdu, f.address)) return false;
    ++chosen_requests_;
    return f.every == 0 || chosen_requests_ % f.every == 0;
}

void spoil(std::vector<uint8_t>& frame, const UnitFaults& faults, bool rtu)
{
    if (faults.other_slave && rtu && frame.size() > 2) {
        frame[0] = static_cast<uint8_t>(frame[0] + 1);
        const uint16_t crc = rtu_crc16(frame.data(), frame.size() - 2);
        frame[frame.size() - 2] = static_cast<uint8_t>(crc);
        frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
    }
    if (faults.bad_crc && rtu && !frame.empty()) frame.back() ^= 0xFF;
    if (faults.truncated) frame.resize(frame.size() > 3 ? frame.size() - 3 : 1);
}

std::vector<uint8_t> twice(const std::vector<uint8_t>& frame)
{
    std::vector<uint8_t> both(frame);
    both.insert(both.end(), frame.begin(), frame.end());
    return both;
}
