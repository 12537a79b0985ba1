// qmhost history and events: what a site agent's store holds, read while the
// agent writes it. Parsed here rather than with the other subcommands: they
// share no link or device options.
#pragma once

#include <string>

// True for "history" and "events".
bool is_store_command(const std::string& name);

// Runs `qmhost history|events ...`; returns the exit status, throws
// UsageError for a command line it cannot run and std::runtime_error for a
// store it cannot read.
int run_store_command(int argc, const char* const* argv);

// Their lines for qmhost --help.
std::string store_usage_text();
