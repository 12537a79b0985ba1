#include "agent/mqtt_settings.hpp"

#include "agent/secret_file.hpp"
#include "agent/site_checks.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agent {

using namespace site_checks;

namespace {

constexpr std::size_t kMaxHostLength = 253;      // a DNS name
constexpr std::size_t kMaxClientIdLength = 23;   // what every MQTT 3.1.1 broker must accept
constexpr std::size_t kMaxPrefixLength = 128;
constexpr std::size_t kMaxPasswordBytes = 1024;
// libmosquitto refuses a keepalive under 5 s; 0 (off) is refused by brokers
// from mosquitto 2.0.12 on ("identifier rejected") and hides a dead link.
constexpr int kMinKeepaliveS = 5;
constexpr int kMaxKeepaliveS = 65535;
constexpr int kMaxInflight = 1024;
constexpr int kDefaultTlsPort = 8883;

bool printable(char c) { return c > ' ' && c < 0x7f; }
bool host_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':'; }
bool client_id_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }
// A topic level separator is fine; wildcards and the system prefix's '$' are not.
bool prefix_char(char c) { return printable(c) && c != '+' && c != '#' && c != '$'; }

// A file the agent reads at start, so a missing one is refused now.
std::string readable_file(const Json::Value& value, const std::string& path, const std::string& folder)
{
    const std::string file = file_path(value, path, folder);
    // Opened without blocking and checked on the opened file: a FIFO named
    // here would otherwise hold the start for ever.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) refuse(path, "cannot read " + file + ": " + std::strerror(errno));
    struct stat status {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    ::close(fd);
    if (!regular) refuse(path, file + " is not a regular file");
    return file;
}

// A key the TLS library reads by its path: checked as every secret is.
std::string secret_member(const Json::Value& value, const std::string& path, const std::string& folder)
{
    const std::string file = file_path(value, path, folder);
    try {
        check_secret_file(file);
    } catch (const std::runtime_error& e) {
        refuse(path, e.what());
    }
    return file;
}

// The password is the file's first line. Neither it nor its length is ever shown.
std::string read_password(const std::string& file, const std::string& path)
{
    std::string bytes;
    try {
        bytes = read_secret_line(file, kMaxPasswordBytes);
    } catch (const std::runtime_error& e) {
        refuse(path, e.what());
    }
    if (bytes.empty()) refuse(path, file + " holds no password on its first line");
    return bytes;
}

MqttTls check_tls(const Json::Value& tls, const std::string& path, const std::string& folder)
{
    known_members(tls, path, {"ca_file", "cert_file", "key_file"});
    if (!tls.isMember("ca_file")) refuse(member(path, "ca_file"), "missing (the broker's certificate is always checked)");
    MqttTls checked;
    checked.ca_file = readable_file(tls["ca_file"], member(path, "ca_file"), folder);
    if (tls.isMember("cert_file") != tls.isMember("key_file"))
        refuse(member(path, tls.isMember("cert_file") ? "key_file" : "cert_file"),
               "missing (a client certificate needs its key, and a key its certificate)");
    if (tls.isMember("cert_file")) {
        checked.cert_file = readable_file(tls["cert_file"], member(path, "cert_file"), folder);
        checked.key_file = secret_member(tls["key_file"], member(path, "key_file"), folder);
    }
    return checked;
}

int int_member(const Json::Value& mqtt, const std::string& path, const char* name, int low, int high,
               const char* what)
{
    return static_cast<int>(integer_in(mqtt[name], member(path, name), low, high, what));
}

void check_limits(const Json::Value& mqtt, const std::string& path, MqttSettings& settings)
{
    if (mqtt.isMember("keepalive_s"))
        settings.keepalive_s = int_member(mqtt, path, "keepalive_s", kMinKeepaliveS, kMaxKeepaliveS,
                                          "a keepalive in seconds (0, no keepalive, is refused by brokers)");
    if (mqtt.isMember("inflight"))
        settings.inflight = int_member(mqtt, path, "inflight", 1, kMaxInflight, "a number of messages in flight");
    if (mqtt.isMember("replay_after_s"))
        settings.replay_after_s = int_member(mqtt, path, "replay_after_s", 1, 86400, "a number of seconds");
    if (mqtt.isMember("backlog_per_s"))
        settings.backlog_per_s = int_member(mqtt, path, "backlog_per_s", 1, 100000, "a number of rows per second");
    if (mqtt.isMember("encoding")) {
        const Json::Value& encoding = mqtt["encoding"];
        const std::string text = encoding.isString() ? encoding.asString() : std::string();
        if (text != "json" && text != "compact")
            refuse(member(path, "encoding"), shown(encoding) + " is not \"json\" or \"compact\"");
        settings.compact = text == "compact";
    }
}

}  // namespace

MqttSettings check_mqtt_settings(const Json::Value& mqtt, const std::string& path, const std::string& folder)
{
    known_members(mqtt, path,
                  {"host", "port", "client_id", "username", "password_file", "tls", "topic_prefix", "keepalive_s",
                   "inflight", "replay_after_s", "backlog_per_s", "encoding"});
    MqttSettings settings;
    settings.host =
        text_in(required(mqtt, path, "host"), member(path, "host"), kMaxHostLength, host_char, "a host name or address");
    if (mqtt.isMember("tls")) {
        settings.tls = check_tls(mqtt["tls"], member(path, "tls"), folder);
        settings.port = kDefaultTlsPort;
    }
    if (mqtt.isMember("port")) settings.port = int_member(mqtt, path, "port", 1, 65535, "a port");
    if (mqtt.isMember("client_id"))
        settings.client_id = text_in(mqtt["client_id"], member(path, "client_id"), kMaxClientIdLength, client_id_char,
                                     "a client id (1 to 23 letters, digits, - and _)");
    if (mqtt.isMember("username"))
        settings.username = text_in(mqtt["username"], member(path, "username"), 256, printable, "a user name");
    if (mqtt.isMember("password_file")) {
        if (settings.username.empty())
            refuse(member(path, "password_file"), "a password needs a \"username\" (MQTT sends none without one)");
        const std::string file = file_path(mqtt["password_file"], member(path, "password_file"), folder);
        settings.password = read_password(file, member(path, "password_file"));
    }
    if (mqtt.isMember("topic_prefix")) {
        settings.topic_prefix = text_in(mqtt["topic_prefix"], member(path, "topic_prefix"), kMaxPrefixLength,
                                        prefix_char, "a topic prefix (no blanks, +, # or $)");
        const std::string& prefix = settings.topic_prefix;
        if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
            refuse(member(path, "topic_prefix"), shown(mqtt["topic_prefix"]) + " has an empty topic level");
    }
    check_limits(mqtt, path, settings);
    return settings;
}

}  // namespace agent
