// The checks every member of the site file is read with (site_file.cpp,
// http_settings.cpp, mqtt_settings.cpp), so each refuses a bad value the same
// way: a SiteFileError naming the member's path and why
// ("mqtt.port: 70000 is not a port (1 to 65535)").
#pragma once

#include "agent/unit_values.hpp"
#include "base/usage_error.hpp"

#include <json/json.h>

#include <cstddef>
#include <initializer_list>
#include <string>

namespace agent {

// A site file that cannot be run: a member refused, or the driver refusing
// a unit's settings. The programs answer it, as every file mistake, with
// exit status 2.
class SiteFileError : public ConfigError {
public:
    using ConfigError::ConfigError;
};

namespace site_checks {

// A member's place in the file: "lines[1].units[0].slave"; "" is the top.
using Path = std::string;

[[noreturn]] void refuse(const Path& path, const std::string& why);
Path member(const Path& path, const std::string& name);
Path item(const Path& path, std::size_t index);

// The value as it was written, for a refusal: numbers in the fewest digits
// that read back (0.05), the text cut short at 40 characters.
std::string shown(const Json::Value& value);

// An object with only the members named; the refusal lists them.
void known_members(const Json::Value& object, const Path& path, std::initializer_list<const char*> known);

const Json::Value& required(const Json::Value& object, const Path& path, const char* name);

// A whole number from low to high ("... is not a port (1 to 65535)").
long long integer_in(const Json::Value& value, const Path& path, long long low, long long high,
                     const std::string& what);

// A text of 1 to max_length characters, each one `allowed` takes.
std::string text_in(const Json::Value& value, const Path& path, std::size_t max_length, bool (*allowed)(char),
                    const std::string& what);

// A file name; a relative one is taken from `folder`, the site file's.
std::string file_path(const Json::Value& value, const Path& path, const std::string& folder);

// A unit's "keys": a list of value keys from kShownPoints, each once.
ShownKeys value_keys(const Json::Value& value, const Path& path);

}  // namespace site_checks
}  // namespace agent
