// What a control command's outcome means for qmhost's exit status, shared
// by `control CODE` and the safe controls (on, off, set).
#pragma once

#include "hosting/exit_status.hpp"
#include "hosting/hosted_device.hpp"

#include <string>

// What qmhost says of a write whose answer a stop cut short.
inline constexpr char kStoppedBeforeAnswer[] = "sent; the unit's answer did not arrive before the stop";

// The exit status for a command that was meant to write, and why when it is
// not ExitStatus::kOk. A write stopped before its answer is one without an
// answer.
ExitStatus control_exit(const ControlResult& result, std::string& why);
