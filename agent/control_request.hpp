// A control command that arrives at the agent (POST
// /api/units/NAME/control) for a unit on one of its lines, and what became
// of it. The unit's line runs it between two of its cycles.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace agent {

struct ControlRequest {
    std::string unit;
    int code = 0;
    std::vector<unsigned char> input;
    std::string source;  // who asked, for the control event: "http 127.0.0.1 (ops@host)"
};

struct ControlAnswer {
    enum class Kind {
        Done,         // handed to the driver; the rest says how it went
        UnknownUnit,  // no unit of that name
        Busy,         // the line's queue is full
        Stopping,     // the agent is stopping
        TimedOut,     // the line did not get to it in time
    };
    Kind kind = Kind::Done;
    // As qmhost on, off, set and control exit: 0 confirmed, 1 failed, 2
    // refused (nothing sent), 3 not confirmed, 4 no answer to the write.
    int exit_status = 1;
    int handed = 0;                 // what DeviceIoControl returned
    bool wrote = false;             // the driver sent a write
    std::optional<int32_t> result;  // the driver's control result (1 confirmed, 3 not, -1 none)
    std::string message;            // why, when not confirmed
};

// Runs one request on its unit's line and waits for its answer.
using ControlRunner = std::function<ControlAnswer(const ControlRequest&)>;

}  // namespace agent
