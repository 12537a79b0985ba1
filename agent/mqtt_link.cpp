#include "agent/mqtt_link.hpp"

#include <mqtt_protocol.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace agent::mqtt {
namespace {

// A lost broker is tried again after 1 s, backing off to 5 s.
constexpr int kReconnectDelayMinS = 1;
constexpr int kReconnectDelayMaxS = 5;
constexpr int kWillQos = 1;
constexpr int kSubscribeQos = 1;

}  // namespace

Link::Link(const MqttSettings& settings, const LinkSetup& setup, LinkListener& listener)
    : host_(settings.host), port_(settings.port), keepalive_s_(settings.keepalive_s), v5_(setup.v5),
      subscriptions_(setup.subscriptions), listener_(listener)
{
    client_ = make_client(settings, setup.client_id, setup.clean_start, setup.v5, this);
    mosquitto* c = client_.get();
    if (setup.send_maximum > 0) mosquitto_int_option(c, MOSQ_OPT_SEND_MAXIMUM, setup.send_maximum);
    // The v5 callbacks serve a v3.1.1 client too: its reasons are its return codes.
    mosquitto_connect_v5_callback_set(c, &Link::on_connect);
    mosquitto_disconnect_v5_callback_set(c, &Link::on_disconnect);
    mosquitto_publish_v5_callback_set(c, &Link::on_publish);
    mosquitto_message_v5_callback_set(c, &Link::on_message);
    mosquitto_log_callback_set(c, &Link::on_log);
    mosquitto_reconnect_delay_set(c, kReconnectDelayMinS, kReconnectDelayMaxS, true);
    if (setup.will) {
        const int rc = mosquitto_will_set(c, setup.will->topic.c_str(), static_cast<int>(setup.will->payload.size()),
                                          setup.will->payload.data(), kWillQos, true);
        if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error("MQTT last will: " + error_text(rc));
    }
}

Link::~Link() { stop(); }

std::string Link::start()
{
    if (started_) return {};
    mosquitto* c = client_.get();
    const int rc = mosquitto_connect_async(c, host_.c_str(), port_, keepalive_s_);
    const int loop = mosquitto_loop_start(c);
    if (loop != MOSQ_ERR_SUCCESS) throw std::runtime_error("MQTT client thread: " + error_text(loop));
    started_ = true;
    return rc == MOSQ_ERR_SUCCESS ? std::string() : error_text(rc);
}

int Link::publish(const std::string& topic, const std::string& payload, int qos, bool retain, int* mid,
                  const char* content_type)
{
    mosquitto_property* properties = nullptr;
    if (content_type && v5_) mosquitto_property_add_string(&properties, MQTT_PROP_CONTENT_TYPE, content_type);
    const int rc = mosquitto_publish_v5(client_.get(), mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), qos, retain, properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

void Link::stop()
{
    if (!started_) return;
    started_ = false;
    mosquitto_disconnect(client_.get());
    mosquitto_loop_stop(client_.get(), false);
}

void Link::on_connect(mosquitto* client, void* self, int reason, int, const mosquitto_property*)
{
    auto& link = *static_cast<Link*>(self);
    link.connected_ = reason == 0;
    if (reason == 0)
        for (const std::string& filter : link.subscriptions_)
            mosquitto_subscribe(client, nullptr, filter.c_str(), kSubscribeQos);
    link.listener_.connected(reason);
}

void Link::on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*)
{
    auto& link = *static_cast<Link*>(self);
    link.connected_ = false;
    std::string tls;
    {
        std::lock_guard<std::mutex> hold(link.tls_lock_);
        tls = link.tls_.take();
    }
    link.listener_.disconnected(rc, tls);
}

void Link::on_publish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*)
{
    static_cast<Link*>(self)->listener_.acknowledged(mid, reason);
}

void Link::on_message(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*)
{
    static_cast<Link*>(self)->listener_.received(message->topic, message->payload,
                                                 static_cast<std::size_t>(std::max(0, message->payloadlen)));
}

void Link::on_log(mosquitto*, void* self, int level, const char* line)
{
    auto& link = *static_cast<Link*>(self);
    {
        std::lock_guard<std::mutex> hold(link.tls_lock_);
        link.tls_.note(level, line);
    }
    // A handshake that fails inside a connect or a reconnect (the link's
    // thread retrying) is followed by no disconnect: its reason is told here.
    if (level == MOSQ_LOG_ERR && std::strstr(line, "OpenSSL Error") != nullptr && !link.connected_)
        link.listener_.handshake_failed(line);
}

}  // namespace agent::mqtt
