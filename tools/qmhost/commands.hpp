// qmhost's subcommands; each returns the program's exit status and throws
// for errors that end it (std::runtime_error, UsageError).
#pragma once

#include "tools/qmhost/options.hpp"

int run_poll(const CommandLine& command);
int run_control(const CommandLine& command);
int run_demo();
int run_safe_control(const CommandLine& command);
int run_points(const CommandLine& command);
int run_decode(const CommandLine& command);
int run_serve(const CommandLine& command);
int run_status(const CommandLine& command);
