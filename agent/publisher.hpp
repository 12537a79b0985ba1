// The agent's publisher: sends the store's outbox to an MQTT broker and
// marks what the broker acknowledged and what the centre confirmed.
//
// The store is the one buffer; the outbox's rules (outbox.hpp) decide what
// goes when, and the publisher drives them over the broker link
// (mqtt_link.hpp). It publishes only while connected (a QoS 1 publish made
// while disconnected is still queued and sent by libmosquitto later, so it
// is never repeated), and hands the outbox the acknowledgements and the
// centre's confirmations on its own thread.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/outbox.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"

#include <json/json.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace agent {

struct PublisherSetup {
    MqttSettings mqtt;
    std::string site;
    std::string store_path;  // read on a connection of the publisher's own
    std::string store_id;
    std::string version;     // in the agent's online message
    // The readable values of a record (its "summary" and the unit's status); empty: {}.
    std::function<Json::Value(const StoredRecord&)> summarize;
    // One line per change of the link's state and per refusal; never a password.
    std::function<void(const std::string&)> log;
};

class Publisher {
public:
    Publisher(PublisherSetup setup, OutboxMarks& marks, AgentStats& stats);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Connects in the background (and again after every loss) and publishes.
    void start();
    // New rows were committed: send them now rather than at the next poll.
    void wake();
    // Says {"online": false}, disconnects and waits for its threads.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace agent
