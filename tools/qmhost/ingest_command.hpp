// qmhost ingest: the monitoring centre's reference consumer. Parsed apart
// from the other subcommands: it shares no link or device options.
#pragma once

#include <string>

// Runs `qmhost ingest ...`; returns the exit status, throws UsageError for
// a command line it cannot run.
int run_ingest_command(int argc, const char* const* argv);

// Its lines for qmhost --help.
std::string ingest_usage_text();
