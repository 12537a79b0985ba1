#include "agent/mqtt_client.hpp"

#include "agent/mqtt_messages.hpp"

#include <mqtt_protocol.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace agent::mqtt {
namespace {

// OpenSSL's SSL_VERIFY_PEER, as libmosquitto's tls_opts_set takes it.
constexpr int kVerifyPeer = 1;

using Clock = std::chrono::steady_clock;

void check_rc(int rc, const char* doing)
{
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string(doing) + ": " + error_text(rc));
}

struct CheckState {
    TlsReasons tls;
    bool connack = false;
    int connack_reason = 0;
    bool subscribed = false;
    int granted = 0;
    bool published = false;
    int publish_reason = 0;
    int publish_mid = -1;
};

void on_check_connect(mosquitto*, void* state, int reason, int, const mosquitto_property*)
{
    auto* s = static_cast<CheckState*>(state);
    s->connack = true;
    s->connack_reason = reason;
}

void on_check_subscribe(mosquitto*, void* state, int, int count, const int* granted, const mosquitto_property*)
{
    auto* s = static_cast<CheckState*>(state);
    s->subscribed = true;
    s->granted = count > 0 ? granted[0] : MQTT_RC_UNSPECIFIED;
}

void on_check_publish(mosquitto*, void* state, int mid, int reason, const mosquitto_property*)
{
    auto* s = static_cast<CheckState*>(state);
    if (mid != s->publish_mid) return;
    s->published = true;
    s->publish_reason = reason;
}

// The result of a failed connect or loop call as a check outcome.
CheckOutcome failed_link(int rc, const std::string& where, TlsReasons& tls)
{
    const std::string reasons = tls.take();
    if (rc == MOSQ_ERR_TLS || !reasons.empty())
        return {check_status::kTls, "TLS handshake with " + where + " failed: " +
                                        (reasons.empty() ? error_text(rc) : reasons)};
    return {check_status::kRefused, "cannot connect to " + where + ": " + error_text(rc)};
}

// Runs the client's loop until `done` or the deadline; a loop error ends it.
template <typename Done>
int loop_until(mosquitto* client, Clock::time_point deadline, Done done)
{
    while (!done() && Clock::now() < deadline) {
        const int rc = mosquitto_loop(client, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) return rc;
    }
    return MOSQ_ERR_SUCCESS;
}

}  // namespace

ClientHandle make_client(const MqttSettings& settings, const std::string& client_id, bool clean_start, bool v5,
                         void* owner)
{
    ClientHandle client(mosquitto_new(client_id.c_str(), clean_start, owner));
    if (!client) throw std::runtime_error("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    check_rc(mosquitto_int_option(client.get(), MOSQ_OPT_PROTOCOL_VERSION, v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311),
             "MQTT protocol version");
    check_rc(mosquitto_int_option(client.get(), MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY");
    if (!settings.username.empty())
        check_rc(mosquitto_username_pw_set(client.get(), settings.username.c_str(),
                                           settings.password.empty() ? nullptr : settings.password.c_str()),
                 "user name");
    if (settings.tls) {
        const MqttTls& tls = *settings.tls;
        check_rc(mosquitto_tls_set(client.get(), tls.ca_file.c_str(), nullptr,
                                   tls.cert_file.empty() ? nullptr : tls.cert_file.c_str(),
                                   tls.key_file.empty() ? nullptr : tls.key_file.c_str(), nullptr),
                 "TLS files");
        // SSL_VERIFY_PEER, and the broker's name checked against its certificate.
        check_rc(mosquitto_tls_opts_set(client.get(), kVerifyPeer, nullptr, nullptr), "TLS options");
        check_rc(mosquitto_tls_insecure_set(client.get(), false), "TLS name check");
    }
    return client;
}

std::string error_text(int rc)
{
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

std::string connack_text(int reason)
{
    return mosquitto_reason_string(reason) + std::string(" (reason ") + std::to_string(reason) + ")";
}

bool is_authentication_refusal(int reason)
{
    switch (reason) {
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case MQTT_RC_NOT_AUTHORIZED:
    case MQTT_RC_BANNED:
    case MQTT_RC_BAD_AUTHENTICATION_METHOD:
    case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
    case CONNACK_REFUSED_NOT_AUTHORIZED:
        return true;
    default:
        return false;
    }
}

void TlsReasons::note(int level, const char* line)
{
    constexpr std::size_t kMaxLines = 8;
    if (level == MOSQ_LOG_ERR && std::strstr(line, "OpenSSL Error") != nullptr && lines_.size() < kMaxLines)
        lines_.emplace_back(line);
}

std::string TlsReasons::take()
{
    std::string joined;
    for (const std::string& line : lines_) joined += (joined.empty() ? "" : "; ") + line;
    lines_.clear();
    return joined;
}

CheckOutcome check_broker(const MqttSettings& settings, const std::string& site, int timeout_ms)
{
    const Library library;
    CheckState state;
    const std::string where = settings.host + ":" + std::to_string(settings.port);
    ClientHandle client = make_client(settings, "qm-check-" + site, true, true, &state);
    mosquitto* c = client.get();
    mosquitto_log_callback_set(c, [](mosquitto*, void* s, int level, const char* line) {
        static_cast<CheckState*>(s)->tls.note(level, line);
    });
    mosquitto_connect_v5_callback_set(c, on_check_connect);
    mosquitto_subscribe_v5_callback_set(c, on_check_subscribe);
    mosquitto_publish_v5_callback_set(c, on_check_publish);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);

    int rc = mosquitto_connect(c, settings.host.c_str(), settings.port, settings.keepalive_s);
    if (rc == MOSQ_ERR_SUCCESS) rc = loop_until(c, deadline, [&] { return state.connack; });
    // A refusing broker closes the connection after its CONNACK: the reason comes first.
    if (rc != MOSQ_ERR_SUCCESS && !(state.connack && state.connack_reason != 0)) return failed_link(rc, where, state.tls);
    if (!state.connack) return {check_status::kNoAnswer, where + " did not answer the connection in time"};
    if (state.connack_reason != 0)
        return {is_authentication_refusal(state.connack_reason) ? check_status::kAuthentication
                                                                : check_status::kRefused,
                where + " refused the connection: " + connack_text(state.connack_reason) +
                    (is_authentication_refusal(state.connack_reason)
                         ? "; check username, password_file and the client certificate"
                         : "")};

    const std::string confirm = confirm_topic(settings.topic_prefix, site);
    const std::string probe = settings.topic_prefix + "/" + site + "/check";
    rc = mosquitto_subscribe(c, nullptr, confirm.c_str(), 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_publish(c, &state.publish_mid, probe.c_str(), 2, "{}", 1, false);
    if (rc == MOSQ_ERR_SUCCESS) rc = loop_until(c, deadline, [&] { return state.subscribed && state.published; });
    if (rc != MOSQ_ERR_SUCCESS) return failed_link(rc, where, state.tls);
    if (!state.subscribed || !state.published)
        return {check_status::kNoAnswer, where + " did not acknowledge the subscription and the publish in time"};
    if (state.granted >= 0x80)
        return {check_status::kNotAuthorised,
                where + " does not let this client subscribe to " + confirm + ": " + connack_text(state.granted)};
    if (state.publish_reason >= 0x80)
        return {check_status::kNotAuthorised,
                where + " does not let this client publish on " + probe + ": " + connack_text(state.publish_reason)};
    mosquitto_disconnect(c);
    return {check_status::kOk, "connected to " + where + (settings.tls ? " over TLS" : "") +
                                   ", subscribed to " + confirm + " and published on " + probe};
}

}  // namespace agent::mqtt
