#include "agent/http_settings.hpp"

#include "agent/secret_file.hpp"
#include "agent/site_checks.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <stdexcept>

namespace agent {

using namespace site_checks;

namespace {

// A token shorter than this is guessable in the time an agent runs.
constexpr std::size_t kMinTokenLength = 16;
constexpr std::size_t kMaxTokenLength = 4096;

// An IPv4 address in dotted form, or "localhost" for 127.0.0.1; the server
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
    in6_addr v6{};
    const bool ipv6 = address.size() > 2 && address.front() == '[' && address.back() == ']' &&
                      inet_pton(AF_INET6, address.substr(1, address.size() - 2).c_str(), &v6) == 1;
    const bool port_ok = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                         std::stoi(port) >= 1 && std::stoi(port) <= 65535;
    if (!value.isString() || !port_ok || !(ipv4_address(address) || ipv6))
        refuse(path, shown(value) + " is not ADDRESS:PORT (an IPv4 address or an IPv6 one in brackets, port 1 to 65535)");
    settings.address = address;
    settings.port = std::stoi(port);
}

// The HTTP side's refusal names the member alone, never echoing the value.
std::string file_in(const Json::Value& value, const Path& path, const std::string& folder)
{
    if (!value.isString() || value.asString().empty()) refuse(path, "is not a file path");
    return file_path(value, path, folder);
}

// A host name as a Host header gives it: letters, digits, dots and hyphens.
void check_hosts(const Json::Value& value, const std::string& path, HttpSettings& settings)
{
    if (!value.isArray()) refuse(path, "is not an array of host names");
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        const std::string name = value[i].isString() ? value[i].asString() : std::string();
        if (name.empty() || name.size() > 253 ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") != std::string::npos)
            refuse(item(path, i), "is not a host name (letters, digits, dots and hyphens)");
        settings.hosts.push_back(name);
    }
}

void check_tls(const Json::Value& value, const std::string& path, const std::string& folder, HttpSettings& settings)
{
    if (!value.isObject()) refuse(path, "is not an object {\"certificate\": FILE, \"key\": FILE}");
    known_members(value, path, {"certificate", "key"});
    if (!value.isMember("certificate") || !value.isMember("key")) refuse(path, "needs both certificate and key");
    settings.tls_certificate = file_in(value["certificate"], member(path, "certificate"), folder);
    settings.tls_key = file_in(value["key"], member(path, "key"), folder);
}

void check_metrics_alarms(const Json::Value& value, const std::string& path, HttpSettings& settings)
{
    const std::string text = value.isString() ? value.asString() : std::string();
    if (text != "active" && text != "all") refuse(path, shown(value) + " is not \"active\" or \"all\"");
    settings.metrics_all_alarms = text == "all";
}

void check_metrics_values(const Json::Value& value, const std::string& path, HttpSettings& settings)
{
    if (value.isArray()) {
        settings.metrics_values = value_keys(value, path);
        return;
    }
    const std::string text = value.isString() ? value.asString() : std::string();
    if (text != "none" && text != "keys")
        refuse(path, shown(value) + " is not \"none\", \"keys\" or an array of value keys");
    settings.metrics_values = text == "keys" ? all_shown_keys() : ShownKeys();
}

bool loopback(const std::string& address) { return address.rfind("127.", 0) == 0 || address == "[::1]"; }

}  // namespace

HttpSettings check_http(const Json::Value& http, const std::string& path, const std::string& folder)
{
    if (!http.isObject()) refuse(path, "is not an object");
    known_members(http, path, {"listen", "control_token_file", "hosts", "tls", "metrics_alarms", "metrics_values"});
    HttpSettings settings;
    settings.enabled = true;
    if (http.isMember("listen")) check_listen(http["listen"], member(path, "listen"), settings);
    if (http.isMember("control_token_file"))
        settings.control_token_file = file_in(http["control_token_file"], member(path, "control_token_file"), folder);
    if (http.isMember("hosts")) check_hosts(http["hosts"], member(path, "hosts"), settings);
    if (http.isMember("tls")) check_tls(http["tls"], member(path, "tls"), folder, settings);
    if (http.isMember("metrics_alarms")) check_metrics_alarms(http["metrics_alarms"], member(path, "metrics_alarms"), settings);
    if (http.isMember("metrics_values")) check_metrics_values(http["metrics_values"], member(path, "metrics_values"), settings);
    // A token sent in clear over a network can be read and replayed.
    if (!settings.control_token_file.empty() && !loopback(settings.address) && settings.tls_certificate.empty())
        refuse(member(path, "tls"), "is needed: the agent takes controls (control_token_file) on " + settings.address +
                                        ", beyond loopback, and its token may not cross the network in clear");
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
