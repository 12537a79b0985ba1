#include "hosting/json_lines.hpp"

#include <sstream>

JsonLines::JsonLines()
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    writer_.reset(builder.newStreamWriter());
}

JsonLines::~JsonLines() = default;

std::string JsonLines::text(const Json::Value& value)
{
    std::ostringstream out;
    writer_->write(value, &out);
    return out.str();
}

std::string JsonLines::line(const Json::Value& value) { return text(value) + '\n'; }

std::string JsonLines::ordered_line(std::initializer_list<std::pair<const char*, Json::Value>> members)
{
    return "{" + ordered_members(members) + "}\n";
}

std::string JsonLines::ordered_members(std::initializer_list<std::pair<const char*, Json::Value>> members)
{
    std::string joined;
    for (const auto& [name, value] : members) {
        if (!joined.empty()) joined += ',';
        joined += text(name) + ':' + text(value);
    }
    return joined;
}
