// The checks a control passes before anything is sent, for qmhost's
// commands and the agent's control API alike: a known command code, input
// of the shape the code takes, and setpoints as whole numbers within one
// plausible range each (friendly `set`, raw 106 and 110, and a 310 text
// that names a setpoint's signal code). Input the driver would misread or
// wrap never reaches it.
#pragma once

#include "base/usage_error.hpp"

#include <string>
#include <vector>

struct SetpointRange {
    const char* what;  // in messages
    const char* unit;  // of the setpoint, for messages
    int low, high;     // plausible setpoints, whole units
};

// Return-air setpoints of a precision air-conditioner sit around 18 to 27 °C
// and humidity setpoints around 40 to 60 %RH; the ranges leave room either
// side and catch a tenfold slip (250 for 25.0).
inline constexpr SetpointRange kTemperatureRange{"return-air temperature setpoint", " °C", 15, 35};
inline constexpr SetpointRange kHumidityRange{"humidity setpoint", " %RH", 20, 80};
// Forced: anything whose tenfold fits the unit's 16-bit register.
inline constexpr int kForcedHigh = 65535 / 10;

// The checks by name, as the agent's refusals name them.
namespace control_check {
inline constexpr char kKnownCode[] = "known code";
inline constexpr char kInput[] = "input";
inline constexpr char kWholeNumber[] = "whole number";
inline constexpr char kSetpointRange[] = "setpoint range";
}  // namespace control_check

// A control refused before anything was sent; qmhost exits 2 with it, the
// agent answers 400 naming `check()`.
class ControlRefused : public UsageError {
public:
    ControlRefused(const char* check, const std::string& why) : UsageError(why), check_(check) {}
    const char* check() const { return check_; }

private:
    const char* check_;
};

// How a control asks for a setpoint outside the plausible range: the
// option or member named in the refusal ("--force", "\"force\": true").
struct ForceAsked {
    bool force = false;
    const char* named = "--force";
};

// `text` as a whole number within the range (0 to kForcedHigh when
// forced); ControlRefused saying why otherwise.
int checked_setpoint(const SetpointRange& range, const std::string& text, const ForceAsked& force);

// The codes that make the driver send a write (all known codes but the
// outcome query).
bool writes_to_unit(int code);

// ControlRefused unless the code is in the table of command codes.
void check_known_code(int code);

// A control as the driver would be handed it: ControlRefused unless the
// code is known, its input has the code's shape (106, 110: one word; 206:
// two; 210: an address and one or more values) and a setpoint it carries
// is whole and within its range.
void check_control(int code, const std::vector<unsigned char>& input, const ForceAsked& force);
