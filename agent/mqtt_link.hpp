// libmosquitto behind one thin class, shared by the publisher and the
// ingest: a client made from the "mqtt" settings (login, TLS with the
// broker's name checked), its callbacks handed to one listener, OpenSSL's
// reasons for a failed handshake kept for the disconnect, and the
// background thread that connects, and connects again after every loss.
#pragma once

#include "agent/mqtt_client.hpp"
#include "agent/mqtt_settings.hpp"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace agent::mqtt {

// What the link tells its owner, on libmosquitto's thread, one call at a time.
class LinkListener {
public:
    virtual ~LinkListener() = default;
    // The broker's CONNACK: reason 0 accepted (the subscriptions are made),
    // anything else refused.
    virtual void connected(int reason) = 0;
    // The connection is gone (rc: libmosquitto's result); tls: OpenSSL's
    // reasons when a handshake failed, else empty.
    virtual void disconnected(int rc, const std::string& tls) = 0;
    // A TLS handshake failed while not connected: one of OpenSSL's reasons.
    virtual void handshake_failed(const std::string& /*reason*/) {}
    // A QoS 1 message's acknowledgement; a reason of 0x80 or more is a refusal.
    virtual void acknowledged(int /*mid*/, int /*reason*/) {}
    // A message on a subscribed topic; the call's return acknowledges it.
    virtual void received(const char* /*topic*/, const void* /*payload*/, std::size_t /*length*/) {}
};

// A message the broker sends for this client when it goes without a goodbye.
struct LastWill {
    std::string topic;
    std::string payload;
};

struct LinkSetup {
    std::string client_id;
    bool clean_start = true;
    // MQTT v5: a refused publish is seen in its acknowledgement's reason.
    bool v5 = true;
    int send_maximum = 0;  // QoS 1 messages in flight at once; 0: libmosquitto's default
    std::optional<LastWill> will;  // retained, QoS 1
    std::vector<std::string> subscriptions;  // at QoS 1, made again on every connect
};

class Link {
public:
    // Throws std::runtime_error naming what libmosquitto refused (a TLS file, the will).
    Link(const MqttSettings& settings, const LinkSetup& setup, LinkListener& listener);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Starts the background thread and the first connect. Returns why the
    // broker was not reached yet (the thread goes on trying), empty when the
    // connect is under way. Throws when the thread cannot start.
    std::string start();
    // A message for the broker; libmosquitto's result, and its id in `mid`.
    // Made while disconnected, a QoS 1 message is queued (MOSQ_ERR_NO_CONN)
    // and sent after the reconnect.
    // `content_type` goes as MQTT v5's property when the link speaks v5.
    int publish(const std::string& topic, const std::string& payload, int qos, bool retain, int* mid = nullptr,
                const char* content_type = nullptr);
    // Disconnects and waits for the background thread.
    void stop();

private:
    static void on_connect(mosquitto*, void* self, int reason, int, const mosquitto_property*);
    static void on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void on_publish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);
    static void on_log(mosquitto*, void* self, int level, const char* line);

    Library library_;
    std::string host_;
    int port_;
    int keepalive_s_;
    bool v5_;
    std::vector<std::string> subscriptions_;
    LinkListener& listener_;
    ClientHandle client_;
    bool started_ = false;
    std::mutex tls_lock_;
    TlsReasons tls_;
    std::atomic<bool> connected_{false};
};

}  // namespace agent::mqtt
