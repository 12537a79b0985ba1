// The simulated air-conditioning unit's state: every coil and holding register
// (address 0 to 65535), starting from a running unit's values, changed by
// state files and by the writes it is sent. Several units may share one RTU
// line, each with its own tables; the wire side (unit_server.hpp) answers
// requests from them.
#pragma once

#include <json/json.h>
#include <modbus/modbus.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

class SimUnit {
public:
    SimUnit();  // the state of a running unit, no alarms
    ~SimUnit();
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    // Safe to call while another thread serves. Addresses outside 0 to
    // 65535 throw std::out_of_range.
    void set_coil(int address, bool on);
    void set_register(int address, uint16_t value);
    bool coil(int address) const;
    uint16_t reg(int address) const;

    // Another unit on the RTU line, answering `slave`: its state starts as a
    // copy of this unit's and is its own from then on.
    void add_slave(int slave);
    // The unit answering `slave` (this one or an added one) never answers.
    void set_silent(int slave);

    // {"coils": {"276": 1}, "regs": {"11": 250}}, decimal addresses, over
    // the current state. Throws std::invalid_argument naming the bad entry;
    // nothing is applied then.
    void apply_state(const Json::Value& state);
    // As apply_state, for the unit answering `slave`.
    void apply_state(const Json::Value& state, int slave);

protected:
    // On an RTU line this unit answers `slave`; until then (and over TCP)
    // it answers every id.
    void answer_as(int slave) { slave_ = slave; }
    // True when a unit here answers a request addressed to `slave`
    // (0 being the broadcast address).
    bool answers(int slave) const;
    // More than this unit on the line, or a silent one: requests for any
    // slave id must be taken off the line.
    bool shares_line() const;

    // The tables of the unit answering `slave`, locked while in hand.
    class Tables {
    public:
        Tables(const SimUnit& unit, int slave) : lock_(unit.mutex_), mapping_(unit.mapping_of(slave)) {}
        modbus_mapping_t* mapping() const { return mapping_; }

    private:
        std::lock_guard<std::mutex> lock_;
        modbus_mapping_t* mapping_;
    };
    Tables tables_of(int slave);

private:
    modbus_mapping_t* mapping_of(int slave) const;  // with the lock held
    bool has_unit(int slave) const;                 // with the lock held

    modbus_mapping_t* mapping_;
    int slave_ = -1;                                 // this unit's slave id on an RTU line
    std::map<int, modbus_mapping_t*> other_units_;  // by slave id
    std::set<int> silent_;
    mutable std::mutex mutex_;  // the tables, the other units and the silent ones
};
