#include "agent/site_checks.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace agent::site_checks {
namespace {

constexpr std::size_t kShownLength = 40;

bool reads_back(const std::string& text, const Json::Value& value)
{
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    Json::Value read;
    return reader->parse(text.data(), text.data() + text.size(), &read, nullptr) && read == value;
}

}  // namespace

void refuse(const Path& path, const std::string& why) { throw SiteFileError(path + ": " + why); }

Path member(const Path& path, const std::string& name) { return path.empty() ? name : path + "." + name; }

Path item(const Path& path, std::size_t index) { return path + "[" + std::to_string(index) + "]"; }

std::string shown(const Json::Value& value)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    // A number written to 15 significant digits is already its shortest form
    // when one of 15 or fewer digits reads back; the rest need 16 or 17.
    std::string text;
    for (int digits = 15; digits <= 17; ++digits) {
        writer["precision"] = digits;
        text = Json::writeString(writer, value);
        if (reads_back(text, value)) break;
    }
    return text.size() > kShownLength ? text.substr(0, kShownLength - 3) + "..." : text;
}

namespace {

// An unknown member's name in a refusal: as written when it is plain, else
// quoted and escaped as JSON and cut short, so the refusal stays one line.
std::string name_shown(const std::string& name)
{
    const bool plain = !name.empty() && name.size() <= kShownLength &&
                       std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7f && c != '"'; });
    return plain ? name : shown(Json::Value(name));
}

}  // namespace

void known_members(const Json::Value& object, const Path& path, std::initializer_list<const char*> known)
{
    if (!object.isObject()) refuse(path, shown(object) + " is not an object");
    for (const std::string& name : object.getMemberNames()) {
        if (std::any_of(known.begin(), known.end(), [&](const char* k) { return name == k; })) continue;
        std::string list;
        for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
        refuse(member(path, name_shown(name)), "unknown member (known here: " + list + ")");
    }
}

const Json::Value& required(const Json::Value& object, const Path& path, const char* name)
{
    if (!object.isMember(name)) refuse(member(path, name), "missing");
    return object[name];
}

long long integer_in(const Json::Value& value, const Path& path, long long low, long long high,
                     const std::string& what)
{
    const bool whole = value.isIntegral() || (value.isDouble() && std::floor(value.asDouble()) == value.asDouble());
    if (!value.isNumeric() || !whole || value.asDouble() < static_cast<double>(low) ||
        value.asDouble() > static_cast<double>(high))
        refuse(path, shown(value) + " is not " + what + " (" + std::to_string(low) + " to " + std::to_string(high) +
                         ")");
    return value.asInt64();
}

std::string text_in(const Json::Value& value, const Path& path, std::size_t max_length, bool (*allowed)(char),
                    const std::string& what)
{
    const std::string text = value.isString() ? value.asString() : std::string();
    if (!value.isString() || text.empty() || text.size() > max_length ||
        !std::all_of(text.begin(), text.end(), allowed))
        refuse(path, shown(value) + " is not " + what);
    return text;
}

std::string file_path(const Json::Value& value, const Path& path, const std::string& folder)
{
    if (!value.isString() || value.asString().empty()) refuse(path, shown(value) + " is not a file path");
    const std::string file = value.asString();
    return file.front() == '/' ? file : folder + "/" + file;
}

ShownKeys value_keys(const Json::Value& value, const Path& path)
{
    if (!value.isArray() || value.empty() || value.size() > kShownPoints.size())
        refuse(path, shown(value) + " is not a list of 1 to " + std::to_string(kShownPoints.size()) +
                         " value keys (qmhost keys lists them)");
    ShownKeys keys;
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        const std::optional<std::size_t> place = value[i].isString() ? shown_key_place(value[i].asString())
                                                                     : std::nullopt;
        if (!place) refuse(item(path, i), shown(value[i]) + " is not a value key (qmhost keys lists them)");
        if (keys.test(*place)) refuse(item(path, i), shown(value[i]) + " is given twice");
        keys.set(*place);
    }
    return keys;
}

}  // namespace agent::site_checks
