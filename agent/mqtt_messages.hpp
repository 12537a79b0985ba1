// What travels over MQTT between a site agent and the monitoring centre:
// the topics and the JSON payloads, built and read in this one place by the
// publisher and by the ingest.
//
//   PREFIX/SITE/UNIT/record    QoS 1  one record
//   PREFIX/SITE/UNIT/event     QoS 1  one event (the agent's own under UNIT "agent")
//   PREFIX/SITE/UNIT/status    retained: the unit's latest summary
//   PREFIX/SITE/agent          retained: {"online": true, ...}; the last will {"online": false}
//   PREFIX/SITE/confirm        from the centre: {"store", "record_seq", "event_seq"}
#pragma once

#include "agent/store.hpp"
#include "agent/store_reader.hpp"

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agent::mqtt {

// A payload bigger than this is not one of ours (a record message is ~1.5 KB).
constexpr std::size_t kMaxPayloadBytes = 64 * 1024;
// The topic level an agent's own events go under.
constexpr const char* kAgentLevel = "agent";

// The topics above, as a table: the last level names the kind, and a unit's
// topics carry the unit's level before it.
enum class TopicKind { Record, Event, Status, Agent, Confirm };
struct TopicForm {
    TopicKind kind;
    const char* last_level;
    bool per_unit;  // PREFIX/SITE/UNIT/LAST rather than PREFIX/SITE/LAST
};
constexpr TopicForm kTopicForms[] = {
    {TopicKind::Record, "record", true}, {TopicKind::Event, "event", true},     {TopicKind::Status, "status", true},
    {TopicKind::Agent, "agent", false},  {TopicKind::Confirm, "confirm", false},
};

// What a topic names: its kind, its site and (for a unit's topics) its unit
// level, which is kAgentLevel for the agent's own events.
struct Topic {
    TopicKind kind = TopicKind::Record;
    std::string site;
    std::string unit;
};
// Empty for a topic outside `prefix` or not in the table.
std::optional<Topic> parse_topic(const std::string& prefix, const std::string& topic);

std::string record_topic(const std::string& prefix, const std::string& site, const std::string& unit);
std::string event_topic(const std::string& prefix, const std::string& site, const std::string& unit);
std::string status_topic(const std::string& prefix, const std::string& site, const std::string& unit);
std::string agent_topic(const std::string& prefix, const std::string& site);
std::string confirm_topic(const std::string& prefix, const std::string& site);
// What the ingest subscribes to: every site's and unit's records and events.
std::string all_records_filter(const std::string& prefix);
std::string all_events_filter(const std::string& prefix);

// Who sent a row and what the site still holds: every seq of the stream
// below unconfirmed_from is confirmed or gone at the site, so the centre
// needs none of them to call what follows contiguous.
struct Origin {
    std::string site;
    std::string store;
    int64_t unconfirmed_from = 1;
};

std::string record_payload(const StoredRecord& r, const Origin& origin, const Json::Value& summary, bool replay);
std::string event_payload(const StoredEvent& e, const Origin& origin, bool replay);
std::string status_payload(const StoredRecord& r, const Origin& origin, const Json::Value& summary);
std::string agent_online_payload(const std::string& version, int64_t started_ms);
std::string agent_offline_payload();

struct Confirm {
    std::string store;
    int64_t record_seq = 0;
    int64_t event_seq = 0;
};
std::string confirm_payload(const Confirm& confirm);
std::optional<Confirm> parse_confirm(const void* payload, std::size_t length);

// A record or an event as the centre receives it.
struct Received {
    enum class Kind { Record, Event } kind = Kind::Record;
    Origin origin;
    bool replay = false;
    StoredRecord record;  // when a record (seq, unit, slave, device_id, ts_ms, local_time, clock_ok, body)
    StoredEvent event;    // when an event (seq, unit, ts_ms, kind, detail)
    int64_t seq() const { return kind == Kind::Record ? record.seq : event.seq; }
};
// Empty, with `why` set, for a payload that is not a well-formed record or
// event (wrong JSON, a member missing or of the wrong type, bad base64).
std::optional<Received> parse_received(Received::Kind kind, const void* payload, std::size_t length,
                                       std::string& why);

std::string base64_encode(const std::vector<unsigned char>& bytes);
std::optional<std::vector<unsigned char>> base64_decode(const std::string& text);

// True for a site or unit name that can stand as one topic level.
bool is_topic_level(const std::string& name);

}  // namespace agent::mqtt
