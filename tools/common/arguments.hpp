// Reading the values of command-line options, alike in qmhost and qmsim.
#pragma once

#include "tools/common/usage_error.hpp"

#include <json/json.h>

#include <string>

// The whole text as a decimal integer from low to high; UsageError naming
// the option otherwise.
long long parse_integer(const std::string& option, const std::string& text, long long low, long long high);

template <typename Int>
Int parse_integer(const std::string& option, const std::string& text, long long low, long long high)
{
    return static_cast<Int>(parse_integer(option, text, low, high));
}

// A JSON file named on the command line; `what` names it in the messages
// ("config", "state file"). std::runtime_error, in one line, when it cannot
// be read or is not JSON.
Json::Value read_json_file(const std::string& what, const std::string& path);
