// Poll steps of the control writes: while a write is outstanding the poll
// step holds the command's code, which routes the unit's answer.
#pragma once

namespace control_step {
inline constexpr int kSwitchOn = 100;             // bit 276 := 1
inline constexpr int kSwitchOff = 102;            // bit 276 := 0
inline constexpr int kTemperatureSetpoint = 106;  // register 11
inline constexpr int kHumiditySetpoint = 110;     // register 1
inline constexpr int kWriteRegister = 206;
inline constexpr int kWriteRegisters = 210;
inline constexpr int kSignalSetpoint = 310;       // until the signal code picks 106 or 110
inline constexpr int kSignalSwitch = 320;         // until the signal code picks 100 or 102
}  // namespace control_step
