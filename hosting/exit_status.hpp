// qmhost's exit statuses, as the README lists them. Not the driver's control
// results (contract::kControl*), which a command's outcome is mapped from.
#pragma once

enum class ExitStatus {
    kOk = 0,
    kFailed = 1,        // anything else: the link, the plug-in, a cycle, the outcome query
    kRefused = 2,       // the command line or a value; nothing was sent
    kNotConfirmed = 3,  // the unit answered a write, but not with what was written
    kNoAnswer = 4,      // a write got no answer
    kOutputFailed = 5,  // an output could not be written; what was kept is whole
};

constexpr int exit_code(ExitStatus status) { return static_cast<int>(status); }
