// The setpoints qmhost sends, friendly (set) or raw (control 106, 110, 310):
// checked against one plausible range each before anything is sent.
#pragma once

#include <string>

struct SetpointRange {
    const char* what;  // in qmhost's messages
    const char* unit;  // of the setpoint, for messages
    int low, high;     // plausible setpoints, whole units
};

// Return-air setpoints of a precision air-conditioner sit around 18 to 27 °C
// and humidity setpoints around 40 to 60 %RH; the ranges leave room either
// side and catch a tenfold slip (250 for 25.0).
inline constexpr SetpointRange kTemperatureRange{"return-air temperature setpoint", " °C", 15, 35};
inline constexpr SetpointRange kHumidityRange{"humidity setpoint", " %RH", 20, 80};
// With --force: anything whose tenfold fits the unit's 16-bit register.
inline constexpr int kForcedHigh = 65535 / 10;

// `text` as a whole number within the range (0 to kForcedHigh with
// `force`); UsageError saying why otherwise, and that nothing was sent.
int checked_setpoint(const SetpointRange& range, const std::string& text, bool force);
