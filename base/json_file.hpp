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

// The two halves of read_json_file, for a reader that also wants the bytes
// (a hash of what was read): the file's text, bounded and refused as above,
// and that text read as one JSON object. `name` is "WHAT PATH".
std::string json_file_text(const std::string& name, const std::string& path);
Json::Value parse_json_object(const std::string& name, const std::string& text);
