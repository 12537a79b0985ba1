// JSON lines as qmhost writes them (--alarms, --events, points --format
// json): one value a line, compact, texts kept as UTF-8.
#pragma once

#include <json/json.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

class JsonLines {
public:
    JsonLines();
    ~JsonLines();
    JsonLines(const JsonLines&) = delete;
    JsonLines& operator=(const JsonLines&) = delete;

    // `value`, then a newline.
    std::string line(const Json::Value& value);
    // An object whose members keep the order given, which jsoncpp's own
    // objects do not (they sort their members by name); then a newline.
    std::string ordered_line(std::initializer_list<std::pair<const char*, Json::Value>> members);
    // The members alone, comma-separated, for a line that adds text of its own.
    std::string ordered_members(std::initializer_list<std::pair<const char*, Json::Value>> members);

private:
    std::string text(const Json::Value& value);

    std::unique_ptr<Json::StreamWriter> writer_;
};
