// What a control command's outcome means for qmhost's exit status, shared
// by `control CODE` and the safe controls (on, off, set).
#pragma once

#include "tools/qmhost/exit_status.hpp"
#include "tools/qmhost/hosted_device.hpp"
#include "tools/qmhost/stop_signals.hpp"

#include <string>
#include <vector>

// What qmhost says of a write whose answer a stop cut short.
inline constexpr char kStoppedBeforeAnswer[] = "sent; the unit's answer did not arrive before the stop";

// Hands the command to the driver with stop signals held: the unit may act
// on a write already sent, so a first SIGINT or SIGTERM lets its answer be
// awaited up to the link's timeout; a second ends the wait at once.
ControlResult control_through_stop(HostedDevice& device, int code, const std::vector<unsigned char>& input,
                                   StopSignals& stop);

// The exit status for a command that was meant to write, and why when it is
// not ExitStatus::kOk. A write stopped before its answer is one without an
// answer.
ExitStatus control_exit(const ControlResult& result, std::string& why);
