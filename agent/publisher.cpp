#include "agent/publisher.hpp"

#include "agent/compact_record.hpp"

#include "agent/events.hpp"
#include "agent/mqtt_link.hpp"
#include "agent/mqtt_messages.hpp"
#include "agent/outbox_reader.hpp"
#include "agent/time_text.hpp"
#include "agent/unit_state.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace agent {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollEvery = std::chrono::milliseconds(50);  // new rows are looked for at least this often
constexpr auto kCountEvery = std::chrono::seconds(1);       // the outbox counters
constexpr auto kCompactStatusEvery = std::chrono::minutes(5);  // a steady unit's status, when compact
// Confirmations waiting for the pump: each carries the whole mark, so a
// flood beyond this keeps the newest.
constexpr std::size_t kPendingConfirmsMax = 64;
constexpr int kQos = 1;
constexpr int kFirstRefusalReason = 0x80;

// The acked times the outbox writes and its repair compares are UTC as it was
// when the publisher first asked, carried on by the steady clock: a wall
// clock set back an hour neither holds a repair back an hour nor makes rows
// acknowledged later look older.
OutboxTime time_now()
{
    const int64_t steady = steady_now_ms();
    static const int64_t utc_at_steady_zero = utc_now_ms() - steady;
    return {steady, utc_at_steady_zero + steady};
}

// How long the first rows wait for the centre's retained mark for the store
// after the first connect (it comes right after the subscription's answer).
constexpr int64_t kMarkWaitMs = 1000;

OutboxRules rules_of(const MqttSettings& mqtt)
{
    return {mqtt.inflight, mqtt.backlog_per_s, mqtt.replay_after_s, kMarkWaitMs};
}

// "qm-SITE-STOREID8" within MQTT 3.1.1's 23 characters (the site's name cut
// to fit): two stores of one site never share a broker session, which the
// broker would take from each in turn.
std::string default_client_id(const std::string& site, const std::string& store_id)
{
    constexpr std::size_t kMaxLength = 23;
    constexpr std::size_t kStoreIdChars = 8;
    const std::string tail = "-" + store_id.substr(0, kStoreIdChars);
    return "qm-" + site.substr(0, kMaxLength - 3 - tail.size()) + tail;
}

mqtt::LinkSetup link_setup(const PublisherSetup& setup)
{
    mqtt::LinkSetup link;
    link.client_id =
        setup.mqtt.client_id.empty() ? default_client_id(setup.site, setup.store_id) : setup.mqtt.client_id;
    link.send_maximum = setup.mqtt.inflight;
    link.will = mqtt::LastWill{mqtt::agent_topic(setup.mqtt.topic_prefix, setup.site), mqtt::agent_offline_payload()};
    link.subscriptions = {mqtt::confirm_topic(setup.mqtt.topic_prefix, setup.site)};
    return link;
}

}  // namespace

struct Publisher::State final : mqtt::LinkListener, OutboxLink {
    State(PublisherSetup s, OutboxMarks& marks, AgentStats& st)
        : setup(std::move(s)),
          stats(st),
          reader(setup.store_path),
          outbox(rules_of(setup.mqtt), setup.store_id, reader, marks, st),
          link(setup.mqtt, link_setup(setup), *this)
    {
    }

    PublisherSetup setup;
    AgentStats& stats;
    OutboxReader reader;  // the pump thread's only
    Outbox outbox;        // the pump thread's only
    std::thread pump;
    bool started = false;

    // Handed over by libmosquitto's thread, under `lock`.
    std::mutex lock;
    std::condition_variable woken;
    bool wake_flag = false;
    bool stopping = false;
    bool connected_now = false;
    uint64_t connect_epoch = 0;
    std::vector<std::pair<int, int>> acks;  // message id, reason
    std::deque<mqtt::Confirm> confirms;
    std::string last_refusal;  // told once until it changes
    RefusalLog refusals{[this](const std::string& line) { log("MQTT: " + line); }};

    // The pump thread's own.
    uint64_t seen_epoch = 0;
    Clock::time_point next_count = Clock::now();
    std::map<std::string, Json::Value> unit_status;  // each unit's last retained status
    std::map<std::string, Clock::time_point> status_sent;  // when each was published

    // Last, so it stops first: its callbacks use everything above.
    mqtt::Link link;

    void log(const std::string& line) const
    {
        if (setup.log) setup.log(line);
    }
    const std::string& prefix() const { return setup.mqtt.topic_prefix; }
    std::string where() const { return setup.mqtt.host + ":" + std::to_string(setup.mqtt.port); }
    mqtt::Origin origin(const Sending& how) const { return {setup.site, setup.store_id, how.unconfirmed_from}; }
    Json::Value summary(const StoredRecord& r) const
    {
        return setup.summarize ? setup.summarize(r) : Json::Value(Json::objectValue);
    }
    // A unit's retained status goes with each live record, but with the
    // compact encoding (a metered link) only when its alarms or health
    // change, or every five minutes: the status is JSON with every value.
    bool status_due(const std::string& unit, const Json::Value& values) const
    {
        if (!setup.mqtt.compact) return true;
        const auto last = unit_status.find(unit);
        const auto sent = status_sent.find(unit);
        return last == unit_status.end() || sent == status_sent.end() ||
               last->second["health"] != state_word(UnitState::Answering) ||
               last->second["summary"]["alarms"] != values["alarms"] || Clock::now() - sent->second >= kCompactStatusEvery;
    }
    void wake_pump()
    {
        wake_flag = true;
        woken.notify_one();
    }

    void run();
    void hand_over_to_outbox(bool& is_connected, uint64_t& epoch);
    void count_outbox();
    std::optional<int> publish_row(const std::string& topic, const std::string& payload,
                                   const char* content_type = nullptr);
    void publish_own(const std::string& topic, const std::string& payload, int qos, bool retain);
    void publish_status(const std::string& unit, Json::Value status);
    void refused(const std::string& why);

    // OutboxLink: the pump thread.
    std::optional<int> send(const StoredRecord& r, const Sending& how) override;
    std::optional<int> send(const StoredEvent& e, const Sending& how) override;

    // LinkListener: libmosquitto's thread.
    void connected(int reason) override;
    void disconnected(int rc, const std::string& tls) override;
    void handshake_failed(const std::string& reason) override { refused("MQTT broker TLS handshake failed: " + reason); }
    void acknowledged(int mid, int reason) override;
    void received(const char* topic, const void* payload, std::size_t length) override;
};

Publisher::Publisher(PublisherSetup setup, OutboxMarks& marks, AgentStats& stats)
    : state_(std::make_unique<State>(std::move(setup), marks, stats))
{
}

Publisher::~Publisher() { stop(); }

void Publisher::start()
{
    State& s = *state_;
    if (s.started) return;
    s.started = true;
    // A broker not there yet is tried again by the link's thread.
    const std::string not_reached = s.link.start();
    if (!not_reached.empty()) s.log("MQTT broker " + s.where() + " not reached yet: " + not_reached);
    s.pump = std::thread([&s] { s.run(); });
}

void Publisher::wake()
{
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->wake_pump();
}

void Publisher::stop()
{
    State& s = *state_;
    if (!s.started) return;
    s.started = false;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.stopping = true;
        s.wake_pump();
    }
    s.pump.join();
    bool is_connected = false;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        is_connected = s.connected_now;
    }
    if (is_connected)
        s.publish_own(mqtt::agent_topic(s.prefix(), s.setup.site), mqtt::agent_offline_payload(), kQos, true);
    s.link.stop();
    s.stats.broker_connected = false;
}

void Publisher::State::run()
{
    while (true) {
        {
            std::unique_lock<std::mutex> hold(lock);
            woken.wait_for(hold, kPollEvery, [this] { return stopping || wake_flag; });
            wake_flag = false;
            if (stopping) break;
        }
        bool is_connected = false;
        uint64_t epoch = 0;
        hand_over_to_outbox(is_connected, epoch);
        refusals.tick();
        stats.broker_connected = is_connected;
        try {
            if (Clock::now() >= next_count) count_outbox();
            if (!is_connected) continue;
            const OutboxTime now = time_now();
            if (epoch != seen_epoch) {
                seen_epoch = epoch;
                outbox.restart(now);
            }
            outbox.send(*this, now);
        } catch (const std::exception& e) {
            // The store is being written or checkpointed; the next round reads again.
            log(std::string("publisher: ") + e.what());
        }
    }
}

// What libmosquitto's thread noted since the last round, given to the
// outbox and written to the store. An acknowledgement always comes after
// its message was noted: the outbox notes a message as soon as the link
// takes it, on this thread, and acknowledgements are handed over here.
void Publisher::State::hand_over_to_outbox(bool& is_connected, uint64_t& epoch)
{
    std::vector<std::pair<int, int>> new_acks;
    std::deque<mqtt::Confirm> new_confirms;
    {
        std::lock_guard<std::mutex> hold(lock);
        is_connected = connected_now;
        epoch = connect_epoch;
        new_acks.swap(acks);
        new_confirms.swap(confirms);
    }
    for (const auto& [mid, reason] : new_acks) outbox.acknowledged(mid, reason < kFirstRefusalReason);
    for (const mqtt::Confirm& confirm : new_confirms)
        if (!outbox.confirmed(confirm))
            refusals.add(Refusal::BeyondPublished, "a confirmation up to records " + std::to_string(confirm.record_seq) +
                                                       " and events " + std::to_string(confirm.event_seq) +
                                                       ", beyond the rows sent");
    outbox.write_marks(time_now().utc_ms);
}

void Publisher::State::count_outbox()
{
    next_count = Clock::now() + kCountEvery;
    stats.outbox_records = reader.unconfirmed_count(Stream::Records);
    stats.outbox_events = reader.unconfirmed_count(Stream::Events);
}

std::optional<int> Publisher::State::send(const StoredRecord& r, const Sending& how)
{
    const Json::Value values = summary(r);
    const std::string topic = mqtt::record_topic(prefix(), setup.site, r.unit);
    const std::optional<int> mid =
        setup.mqtt.compact
            ? publish_row(topic, mqtt::compact_record_payload(r, origin(how), how.replay), mqtt::kCompactContentType)
            : publish_row(topic, mqtt::record_payload(r, origin(how), values, how.replay));
    if (mid && how.live && status_due(r.unit, values)) publish_status(r.unit, mqtt::status_message(r, origin(how), values));
    return mid;
}

// A unit that is lost says so in its retained status too, until it answers.
std::optional<int> Publisher::State::send(const StoredEvent& e, const Sending& how)
{
    const std::optional<int> mid =
        publish_row(mqtt::event_topic(prefix(), setup.site, e.unit), mqtt::event_payload(e, origin(how), how.replay));
    if (mid && how.live && e.kind == event_kind::kUnitLost)
        publish_status(e.unit, mqtt::lost_status_message(unit_status[e.unit], setup.site, e));
    return mid;
}

void Publisher::State::publish_status(const std::string& unit, Json::Value status)
{
    publish_own(mqtt::status_topic(prefix(), setup.site, unit), compact_json(status), 0, true);
    unit_status[unit] = std::move(status);
    status_sent[unit] = Clock::now();
}

// Nothing when libmosquitto did not take the message (the row stays due).
// MOSQ_ERR_NO_CONN is not such a case: the message is queued and sent after
// the reconnect, so it is in flight like any other.
std::optional<int> Publisher::State::publish_row(const std::string& topic, const std::string& payload,
                                                 const char* content_type)
{
    int mid = 0;
    const int rc = link.publish(topic, payload, kQos, false, &mid, content_type);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        refused("cannot publish on " + topic + ": " + mqtt::error_text(rc));
        return std::nullopt;
    }
    return mid;
}

void Publisher::State::publish_own(const std::string& topic, const std::string& payload, int qos, bool retain)
{
    link.publish(topic, payload, qos, retain);
}

void Publisher::State::refused(const std::string& why)
{
    std::lock_guard<std::mutex> hold(lock);
    if (why == last_refusal) return;
    last_refusal = why;
    log(why);
}

void Publisher::State::connected(int reason)
{
    if (reason != 0) {
        refused("MQTT broker " + where() + " refused the connection: " + mqtt::connack_text(reason));
        return;
    }
    publish_own(mqtt::agent_topic(prefix(), setup.site), mqtt::agent_online_payload(setup.version, utc_now_ms()),
                kQos, true);
    {
        std::lock_guard<std::mutex> hold(lock);
        connected_now = true;
        ++connect_epoch;
        last_refusal.clear();
        wake_pump();
    }
    log("MQTT broker " + where() + " connected");
}

void Publisher::State::disconnected(int rc, const std::string& tls)
{
    bool was_connected = false;
    bool is_stopping = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        was_connected = connected_now;
        is_stopping = stopping;
        connected_now = false;
    }
    if (was_connected && !is_stopping)
        log("MQTT broker connection lost: " + mqtt::error_text(rc) + (tls.empty() ? "" : ": " + tls) +
            "; rows stay in the store until the centre confirms them");
    // Not connected: a failed handshake's reasons were told as they came.
}

void Publisher::State::acknowledged(int mid, int reason)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        acks.emplace_back(mid, reason);
        wake_pump();
    }
    if (reason >= kFirstRefusalReason) refused("the MQTT broker refused a message: " + mqtt::connack_text(reason));
}

void Publisher::State::received(const char*, const void* payload, std::size_t length)
{
    mqtt::Refused why;
    const std::optional<mqtt::Confirm> confirm = mqtt::parse_confirm(payload, length, why);
    if (!confirm) {
        stats.refused.add(why.reason);
        refusals.add(why.reason, "on the confirm topic: " + why.why);
        return;
    }
    std::lock_guard<std::mutex> hold(lock);
    if (confirms.size() >= kPendingConfirmsMax) confirms.pop_front();
    confirms.push_back(*confirm);
    wake_pump();
}

}  // namespace agent
