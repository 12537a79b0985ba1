// The signal codes the monitoring centre addresses the unit's writable
// objects by (commands 310 and 320). The tools check a command against them
// before handing it to the driver.
#pragma once

namespace signal_codes {

inline constexpr const char* kTemperatureSetpoint[] = {"6016A2101001", "150800310010"};
inline constexpr const char* kHumiditySetpoint[] = {"150800340010"};
inline constexpr const char* kSwitchOn[] = {"601500201001", "140800280010"};
inline constexpr const char* kSwitchOff[] = {"601500200001", "140800300010"};

}  // namespace signal_codes
