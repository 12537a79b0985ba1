// The agent's publisher: sends the store's outbox to an MQTT broker and
// marks what the broker acknowledged and what the centre confirmed.
//
// The store is the one buffer. The publisher holds in memory only the
// messages in flight (at most `inflight`, each mapped from its MQTT message
// id to its stream and seq); everything else it reads from the store when
// it is due:
//   - publish is called only while connected (a QoS 1 publish made while
//     disconnected is still queued and sent by libmosquitto later, so it is
//     never repeated);
//   - a PUBACK sets the row's acked time; the centre's confirm sets it
//     confirmed, and only then may retention treat it as delivered;
//   - on every connect (and at start) the rows not yet confirmed become a
//     backlog, sent in seq order at `backlog_per_s` beside the live rows,
//     which go first;
//   - rows acknowledged but not confirmed within `replay_after_s` go again,
//     with replay: true.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"

#include <json/json.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace agent {

// The store writes the publisher makes, serialized by the store's owner
// with every other write.
class OutboxMarks {
public:
    virtual ~OutboxMarks() = default;
    virtual void mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms) = 0;
    virtual void mark_confirmed_up_to(Stream stream, int64_t seq) = 0;
};

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
