// One run of the notification command: no shell, its own process group, only
// standard input, output and error open in it, bounded in time. Whatever the
// command does, it is reaped before run_command returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace agent {

struct CommandRun {
    std::vector<std::string> argv;  // [0]: the program's path
    std::vector<std::string> env;   // the whole environment, "NAME=value" each
    std::string input;              // its standard input, then end of file
    int64_t timeout_ms = 10000;
};

struct CommandOutcome {
    bool succeeded = false;  // exit status 0
    bool stopped = false;    // cut short because the agent stops: neither success nor failure
    // Why not: "exit status 3: <output>", "killed by signal 9", "still running after 10 s",
    // "cannot run /usr/bin/x: No such file or directory".
    std::string reason;
};

// A command's output beyond this is read and thrown away; the start of it goes into a failure's reason.
constexpr std::size_t kCommandOutputKept = 200;
// A timed-out command's process group gets SIGTERM, then SIGKILL this much later.
constexpr int64_t kCommandKillGraceMs = 1000;

// Runs the command and waits for it; `stop` is asked every few ms and, when
// it says so, the command's group is killed and the outcome is `stopped`.
CommandOutcome run_command(const CommandRun& run, const std::function<bool()>& stop);

}  // namespace agent
