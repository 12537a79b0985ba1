// What every MQTT client here shares: a libmosquitto handle set up from the
// site file's "mqtt" member (user name and password, TLS with the broker's
// name checked), the texts that say why a connection failed, and the
// one-shot broker check behind `qmhost serve --check-broker`.
#pragma once

#include "agent/mqtt_settings.hpp"

#include <mosquitto.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace agent::mqtt {

// libmosquitto's process-wide set-up, held while any client lives.
class Library {
public:
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

struct ClientDeleter {
    void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};
using ClientHandle = std::unique_ptr<mosquitto, ClientDeleter>;

// A client for `settings`: MQTT v5 when v5 is true (its acknowledgements
// carry a reason, so a refused publish is seen), v3.1.1 otherwise. Throws
// std::runtime_error naming what libmosquitto refused (a TLS file it cannot load).
ClientHandle make_client(const MqttSettings& settings, const std::string& client_id, bool clean_start, bool v5,
                         void* owner);

// A libmosquitto result as a person reads it.
std::string error_text(int rc);
// A CONNACK's reason (v5 codes and v3 return codes alike).
std::string connack_text(int reason);
bool is_authentication_refusal(int reason);

// OpenSSL's own lines, caught from libmosquitto's log: libmosquitto itself
// only says "A TLS error occurred".
// A client's log callback hands each line to note().
class TlsReasons {
public:
    void note(int level, const char* line);
    std::string take();

private:
    std::vector<std::string> lines_;
};

// `qmhost serve --check-broker`: connect once, subscribe to the site's
// confirmations and publish one QoS 1 message on PREFIX/SITE/check, and say
// what failed. Exit statuses, as documented for the command:
namespace check_status {
constexpr int kOk = 0;
constexpr int kNoAnswer = 1;        // no CONNACK or acknowledgement in time
constexpr int kRefused = 3;         // nothing listening, host unknown, connection reset
constexpr int kTls = 4;             // the TLS handshake failed (OpenSSL's reason given)
constexpr int kAuthentication = 5;  // the broker refused the user name, password or certificate
constexpr int kNotAuthorised = 6;   // connected, but the site's topics are denied
}  // namespace check_status

struct CheckOutcome {
    int status = check_status::kOk;
    std::string text;
};
CheckOutcome check_broker(const MqttSettings& settings, const std::string& site, int timeout_ms);

}  // namespace agent::mqtt
