#include "tools/common/arguments.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

long long parse_integer(const std::string& option, const std::string& text, long long low, long long high)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.empty())
        throw UsageError(option + " needs an integer, not \"" + text + "\"");
    if (value < low || value > high)
        throw UsageError(option + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not " + text);
    return value;
}

Json::Value read_json_file(const std::string& what, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + what + " " + path + ": " + std::strerror(errno));
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &value, &errors)) {
        // jsoncpp's message spans lines; the programs report errors in one.
        std::string line;
        std::istringstream parts(errors);
        for (std::string part; std::getline(parts, part);) {
            const auto start = part.find_first_not_of(" *");
            if (start == std::string::npos) continue;
            if (!line.empty()) line += ": ";
            line += part.substr(start);
        }
        throw std::runtime_error(what + " " + path + " is not JSON: " + line);
    }
    return value;
}
