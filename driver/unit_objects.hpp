// The unit's objects the driver writes, by Modbus address: the targets of
// the control commands. The simulated unit and the tools take them from here.
#pragma once

namespace unit_objects {

inline constexpr int kOnOffBit = 276;                    // coil: 1 on, 0 off
inline constexpr int kTemperatureSetpointRegister = 11;  // holding register, return air, tenths of a degree
inline constexpr int kHumiditySetpointRegister = 1;      // holding register, tenths of a percent

}  // namespace unit_objects
