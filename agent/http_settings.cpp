#include "agent/http_settings.hpp"
#include "agent/secret_file.hpp"

#include "agent/site_file.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace agent {
namespace {

// A token shorter than this is guessable in the time an agent runs.
constexpr std::size_t kMinTokenLength = 16;
constexpr std::size_t kMaxTokenLength = 4096;

[[noreturn]] void refuse(const std::string& path, const std::string& why) { throw SiteFileError(path + ": " + why); }

// An IPv4 address in dotted form, or "localhost" for 127.0.0.1; civetweb
// binds what it is given, so nothing else reaches it.
bool ipv4_address(const std::string& text)
{
    int parts = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('.', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255)
            return false;
        ++parts;
        at = end + 1;
    }
    return parts == 4;
}

void check_listen(const Json::Value& value, const std::string& path, HttpSettings& settings)
{
    const std::string text = value.isString() ? value.asString() : std::string();
    const auto colon = text.rfind(':');
    const std::string port = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    std::string address = colon == std::string::npos ? std::string() : text.substr(0, colon);
    if (address == "localhost") address = "127.0.0.1";
    const bool port_ok = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                         std::stoi(port) >= 1 && std::stoi(port) <= 65535;
    if (!value.isString() || !port_ok || !ipv4_address(address))
        refuse(path, "\"" + text.substr(0, 40) + "\" is not ADDRESS:PORT (an IPv4 address, port 1 to 65535)");
    settings.address = address;
    settings.port = std::stoi(port);
}

}  // namespace

HttpSettings check_http(const Json::Value& member, const std::string& path, const std::string& folder)
{
    if (!member.isObject()) refuse(path, "is not an object");
    HttpSettings settings;
    settings.enabled = true;
    for (const std::string& name : member.getMemberNames())
        if (name != "listen" && name != "control_token_file")
            refuse(path + "." + name, "unknown member (known here: listen, control_token_file)");
    if (member.isMember("listen")) check_listen(member["listen"], path + ".listen", settings);
    if (member.isMember("control_token_file")) {
        const Json::Value& file = member["control_token_file"];
        if (!file.isString() || file.asString().empty()) refuse(path + ".control_token_file", "is not a file path");
        settings.control_token_file = file.asString();
        if (settings.control_token_file.front() != '/')
            settings.control_token_file = folder + "/" + settings.control_token_file;
    }
    return settings;
}

std::string read_control_token(const std::string& file)
{
    std::string token;
    try {
        token = read_secret_line(file, kMaxTokenLength);
    } catch (const std::runtime_error& e) {
        throw SiteFileError("the control token file: " + std::string(e.what()));
    }
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.pop_back();
    if (token.size() < kMinTokenLength || token.size() > kMaxTokenLength)
        throw SiteFileError("the control token in " + file + " must be " + std::to_string(kMinTokenLength) + " to " +
                            std::to_string(kMaxTokenLength) + " characters on its first line");
    return token;
}

}  // namespace agent
