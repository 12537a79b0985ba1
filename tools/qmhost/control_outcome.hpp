// What a control command's outcome means for qmhost's exit status, shared
// by `control CODE` and the safe controls (on, off, set).
#pragma once

#include "tools/qmhost/hosted_device.hpp"

#include <string>

enum ControlExit {
    kControlConfirmed = 0,
    kControlFailed = 1,        // anything else: the link, the plug-in, the outcome query
    kControlRefused = 2,       // the command line or the value; nothing was sent
    kControlNotConfirmed = 3,  // the unit answered, but not with what was written
    kControlNoAnswer = 4,      // the write got no answer
};

// The exit status for a command that was meant to write, and why when it is
// not kControlConfirmed.
ControlExit control_exit(const ControlResult& result, std::string& why);
