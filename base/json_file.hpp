// The JSON files named on the command line (the device JSON, the simulator's
// state files), read strictly and within bounds.
#pragma once

#include <json/json.h>

#include <string>

// Largest file read, 1 MiB: a device JSON or a state file is a few kB.
constexpr long kMaxJsonFileBytes = 1L << 20;

// Reads the JSON object in `path`; `what` names it in the messages
// ("config", "state file"). ConfigError, in one line naming the file, when
// it is not a regular file, is larger than kMaxJsonFileBytes (both refused
// before reading), cannot be read, or is not one JSON object: a syntax
// error, a duplicate member, text after the object, or nesting past the
// parser's limit.
Json::Value read_json_file(const std::string& what, const std::string& path);
