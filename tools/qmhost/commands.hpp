// qmhost's subcommands; each returns the program's exit status and throws
// for errors that end it (std::runtime_error, UsageError).
#pragma once

#include "hosting/exit_status.hpp"
#include "tools/qmhost/options.hpp"
#include "tools/qmhost/program_output.hpp"

// Commits the driver log with each cycle's other outputs.
ExitStatus run_poll(const CommandLine& command, DriverLog& driver_log);
ExitStatus run_control(const CommandLine& command);
ExitStatus run_demo();
ExitStatus run_safe_control(const CommandLine& command);
ExitStatus run_points(const CommandLine& command);
ExitStatus run_decode(const CommandLine& command);
ExitStatus run_scan(const CommandLine& command);
ExitStatus run_serve(const CommandLine& command);
ExitStatus run_status(const CommandLine& command);
