// qmhost store check|recover: a site store SQLite says is damaged, checked
// and recovered into a new store. Parsed apart from the other subcommands,
// as history and events are: they share no link or device options.
#pragma once

#include <string>

// Runs `qmhost store check|recover ...` (argv[1] is "store"); returns the exit
// status: 0 whole (check) or recovered (recover), 1 damaged (check) or not
// recovered; throws UsageError for a command line it cannot run.
int run_store_repair(int argc, const char* const* argv);

// Its lines for qmhost --help.
std::string store_repair_usage_text();
