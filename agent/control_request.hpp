// A control command that arrives at the agent (POST
// /api/units/NAME/control) for a unit on one of its lines, and what became
// of it. The unit's line runs it between two of its cycles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace agent {

// A control's input is at most this long (a 310 or 320 text with room to spare).
inline constexpr std::size_t kMaxControlInputBytes = 512;
// The `by` of a control's body: who asked, for the control event.
inline constexpr std::size_t kMaxControlSourceLength = 64;

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

// A control's body refused before anything is queued: the check (one of
// control_check's names, "body" or "by") and why.
struct ControlRefusal {
    std::string check;
    std::string why;
};

// A control's input on the wire: lowercase hex, two digits a byte.
std::string control_input_hex(const std::vector<unsigned char>& input);

// A control's JSON body, {"code": N, "input": "HEX", "force": BOOL, "by":
// "user@host"} (input, force and by may be left out), read into `request`'s
// code and input and into `by`; the checks every control passes (known
// code, the input's shape, setpoints whole and within range unless forced)
// are run here. The refusal otherwise; nothing thrown.
std::optional<ControlRefusal> read_control_body(const std::string& body, ControlRequest& request, std::string& by);

// Runs one request on its unit's line and waits for its answer.
using ControlRunner = std::function<ControlAnswer(const ControlRequest&)>;

}  // namespace agent
