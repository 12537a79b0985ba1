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

#include "agent/refusals.hpp"
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
// Nor one nested deeper than this (an event's detail is the deepest, at 3).
constexpr int kMaxNesting = 16;
// Seqs run from 1 to this: every one exact as a JSON number anywhere.
constexpr int64_t kMaxSeq = int64_t{1} << 53;
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
// The same record in the compact form (compact_record.hpp): no summary (the
// unit's retained status carries it), the site and unit left to the topic.
std::string compact_record_payload(const StoredRecord& r, const Origin& origin, bool replay);
std::string event_payload(const StoredEvent& e, const Origin& origin, bool replay);
// A unit's retained status: its latest record, with "health": "answering".
Json::Value status_message(const StoredRecord& r, const Origin& origin, const Json::Value& summary);
// The same unit taken as lost by `lost` (a unit_lost event): its last status
// (or its site and unit alone), with "health": "lost" and "lost_since".
Json::Value lost_status_message(Json::Value last, const std::string& site, const StoredEvent& lost);
std::string agent_online_payload(const std::string& version, int64_t started_ms);
std::string agent_offline_payload();

struct Confirm {
    std::string store;
    int64_t record_seq = 0;
    int64_t event_seq = 0;
};
std::string confirm_payload(const Confirm& confirm);

// Why a message from the broker was refused: the reason counted, and a
// line for a log naming the member at fault.
struct Refused {
    Refusal reason = Refusal::NotJson;
    std::string why;
};

// The readers of what arrives from the broker. Each takes any bytes: the
// payload bounded in size and nesting, each member checked for its type and
// range before it is used; nothing thrown. Empty, with `refused` set, for
// anything else.
std::optional<Confirm> parse_confirm(const void* payload, std::size_t length, Refused& refused) noexcept;

// A record or an event as the centre receives it.
struct Received {
    enum class Kind { Record, Event } kind = Kind::Record;
    Origin origin;
    bool replay = false;
    StoredRecord record;  // when a record (seq, unit, slave, device_id, ts_ms, local_time, clock_ok, body)
    StoredEvent event;    // when an event (seq, unit, ts_ms, kind, detail)
    int64_t seq() const { return kind == Kind::Record ? record.seq : event.seq; }
};
// A record or event arrived on `topic`: its site and unit are the topic's,
// or it is refused (WrongTopic), as it is on a topic of another kind. Its
// unconfirmed_from may not pass its seq, and a record is exactly one
// record's bytes. A record comes as JSON or in the compact form, whose
// members meet the same checks and whose body must unpack to exactly one
// record within that size.
std::optional<Received> parse_received(const Topic& topic, const void* payload, std::size_t length,
                                       Refused& refused) noexcept;

std::string base64_encode(const std::vector<unsigned char>& bytes);
std::optional<std::vector<unsigned char>> base64_decode(const std::string& text);

// True for a site or unit name that can stand as one topic level.
bool is_topic_level(const std::string& name);

}  // namespace agent::mqtt
