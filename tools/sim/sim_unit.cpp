#include "tools/sim/sim_unit.hpp"

#include "driver/unit_objects.hpp"
#include "host/link_settings.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kAddresses = 65536;  // every coil and register address answers

struct Cell {
    int address;
    uint16_t value;
};

// A unit switched on and cooling on return air: supply fan and compressor 1
// running, compressor 2 and the heaters idle, no alarm. Temperatures and
// pressures in tenths.
constexpr Cell kRunningCoils[] = {
    {256, 1},  // supply fan
    {257, 1},  // compressor 1
    {unit_objects::kOnOffBit, 1},
};

constexpr Cell kRunningRegisters[] = {
    {0, 180},  // supply air setpoint
    {unit_objects::kHumiditySetpointRegister, 500},
    {unit_objects::kTemperatureSetpointRegister, 240},  // on return air
    {13, 1},     // controlled on return air
    {256, 1},    // supply fan running
    {274, 1},    // compressor 1 under normal control
    {275, 1},    // current state: cooling
    {276, 1},    // unit state: running
    {400, 1450}, {401, 1450}, {402, 1450}, {403, 1450},  // supply fan speeds, rpm
    {604, 80},   // supply fan speed command
    {607, 450},  // compressor 1 speed demand
    {608, 60},   // cooling demand
    {615, 60}, {616, 450}, {617, 240},  // compressor 1 superheat, valve demand, valve steps
    {628, 1},    // controlling on return air
    {700, 80}, {701, 230}, {702, 300}, {703, 650}, {704, 300}, {705, 300},  // suction, outdoor, discharge
    {707, 90}, {708, 90},    // low pressures
    {709, 150},              // air pressure difference
    {710, 260}, {711, 120},  // high pressures
    {713, 380},              // supply voltage
    {715, 113},  // dew point
    {720, 12000}, {721, 300}, {722, 50}, {723, 9000}, {724, 100},  // running hours
    {725, 8500}, {726, 4000}, {727, 4200}, {728, 40},
    {730, 60},   // outdoor fan 1 output
    {732, 180},  // supply air for control
    {750, 450},  // compressor 1 speed
    {754, 540}, {755, 380}, {756, 8}, {757, 4200}, {758, 9},  // compressor 1 drive
    {760, 450}, {763, 420},  // compressor 1 drive temperatures
    {1500, 180}, {1501, 550}, {1502, 240}, {1503, 450},  // supply and return air, temperature and humidity
    {1516, 2300}, {1517, 2300}, {1518, 2300},  // phase voltages
    {1519, 85}, {1520, 82}, {1521, 84},        // phase currents
    {1522, 56}, {1523, 1234},                  // energy: 1234 x 100 + 56
    {2004, 540}, {2005, 380},  // compressor 2 drive, idle
    {2010, 300}, {2013, 300},  // compressor 2 drive temperatures
};

int checked(int address)
{
    if (address < 0 || address >= kAddresses) throw std::out_of_range("no address " + std::to_string(address));
    return address;
}

int parse_address(const std::string& key)
{
    if (key.empty() || key.size() > 5 || key.find_first_not_of("0123456789") != std::string::npos) return -1;
    const int address = std::stoi(key);
    return address < kAddresses ? address : -1;
}

// One table of a state file: {"ADDRESS": value, ...}, values 0 to `highest`
// (coils also true or false).
std::vector<Cell> state_cells(const Json::Value& table, const char* name, int highest)
{
    std::vector<Cell> cells;
    if (table.isNull()) return cells;
    if (!table.isObject()) throw std::invalid_argument(std::string("\"") + name + "\" must be an object");
    for (const std::string& key : table.getMemberNames()) {
        const std::string where = std::string(name) + " \"" + key + "\"";
        const int address = parse_address(key);
        if (address < 0) throw std::invalid_argument(where + ": not a decimal address from 0 to 65535");
        const Json::Value& v = table[key];
        int value = -1;
        if (v.isBool() && highest == 1) value = v.asBool();
        else if (v.isInt() && v.asInt() >= 0 && v.asInt() <= highest) value = v.asInt();
        if (value < 0)
            throw std::invalid_argument(where + ": value must be an integer from 0 to " + std::to_string(highest));
        cells.push_back({address, static_cast<uint16_t>(value)});
    }
    return cells;
}

modbus_mapping_t* new_tables()
{
    modbus_mapping_t* mapping = modbus_mapping_new(kAddresses, 0, kAddresses, 0);
    if (!mapping) throw std::bad_alloc();
    return mapping;
}

}  // namespace

SimUnit::SimUnit() : mapping_(new_tables())
{
    for (const Cell& c : kRunningCoils) mapping_->tab_bits[c.address] = static_cast<uint8_t>(c.value);
    for (const Cell& c : kRunningRegisters) mapping_->tab_registers[c.address] = c.value;
}

SimUnit::~SimUnit()
{
    for (auto& unit : other_units_) modbus_mapping_free(unit.second);
    modbus_mapping_free(mapping_);
}

void SimUnit::set_coil(int address, bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mapping_->tab_bits[checked(address)] = on;
}

void SimUnit::set_register(int address, uint16_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mapping_->tab_registers[checked(address)] = value;
}

bool SimUnit::coil(int address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mapping_->tab_bits[checked(address)] != 0;
}

uint16_t SimUnit::reg(int address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mapping_->tab_registers[checked(address)];
}

void SimUnit::add_slave(int slave)
{
    modbus_mapping_t* unit = new_tables();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_unit_slave_id(slave) || has_unit(slave)) {
        modbus_mapping_free(unit);
        throw std::invalid_argument("slave id " + std::to_string(slave) + " is taken or out of range");
    }
    std::memcpy(unit->tab_bits, mapping_->tab_bits, kAddresses);
    std::memcpy(unit->tab_registers, mapping_->tab_registers, kAddresses * sizeof(uint16_t));
    other_units_[slave] = unit;
}

void SimUnit::set_silent(int slave)
{
    std::lock_guard<std::mutex> lock(mutex_);
    silent_.insert(slave);
}

void SimUnit::apply_state(const Json::Value& state) { apply_state(state, slave_); }

void SimUnit::apply_state(const Json::Value& state, int slave)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!has_unit(slave)) throw std::invalid_argument("no unit with slave id " + std::to_string(slave));
    }
    if (!state.isObject()) throw std::invalid_argument("the state must be a JSON object");
    for (const std::string& key : state.getMemberNames())
        if (key != "coils" && key != "regs") throw std::invalid_argument("unknown member \"" + key + "\"");
    const std::vector<Cell> coils = state_cells(state["coils"], "coils", 1);
    const std::vector<Cell> regs = state_cells(state["regs"], "regs", 0xFFFF);

    std::lock_guard<std::mutex> lock(mutex_);
    modbus_mapping_t* unit = mapping_of(slave);
    for (const Cell& c : coils) unit->tab_bits[c.address] = static_cast<uint8_t>(c.value);
    for (const Cell& c : regs) unit->tab_registers[c.address] = c.value;
}

bool SimUnit::answers(int slave) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (silent_.count(slave)) return false;
    // A unit on the line that is not simulated: not ours to answer.
    return slave_ < 0 || slave == 0 || has_unit(slave);
}

bool SimUnit::shares_line() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !other_units_.empty() || !silent_.empty();
}

SimUnit::Tables SimUnit::tables_of(int slave) { return Tables(*this, slave); }

modbus_mapping_t* SimUnit::mapping_of(int slave) const
{
    const auto unit = other_units_.find(slave);
    return unit == other_units_.end() ? mapping_ : unit->second;
}

bool SimUnit::has_unit(int slave) const { return slave == slave_ || other_units_.count(slave) != 0; }
