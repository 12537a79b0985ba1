#include "agent/publisher.hpp"

#include "agent/mqtt_client.hpp"
#include "agent/mqtt_messages.hpp"
#include "agent/outbox_reader.hpp"
#include "agent/time_text.hpp"

#include <mqtt_protocol.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace agent {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollEvery = std::chrono::milliseconds(50);       // new rows are looked for at least this often
constexpr auto kRepairCheckEvery = std::chrono::seconds(1);      // rows overdue for a confirmation
constexpr auto kCountEvery = std::chrono::seconds(1);            // the outbox counters
constexpr auto kEarlyAckKeep = std::chrono::seconds(30);         // an ack whose publish was not yet noted
constexpr int kReconnectDelayMinS = 1;
constexpr int kReconnectDelayMaxS = 5;
constexpr int kQos = 1;

constexpr std::array<Stream, 2> kStreams = {Stream::Records, Stream::Events};
std::size_t index_of(Stream s) { return s == Stream::Records ? 0 : 1; }

// A message handed to libmosquitto and not yet acknowledged.
struct Flight {
    bool row = false;  // false: the agent's own message (online, will)
    Stream stream = Stream::Records;
    int64_t seq = 0;
    Clock::time_point sent;
};

// Unconfirmed rows being sent again, in seq order, at a bounded rate.
struct Backlog {
    int64_t next = 1;
    int64_t end = 0;
    int64_t acked_before = INT64_MAX;  // a repair: only rows acknowledged before this
    bool active() const { return next <= end; }
};

}  // namespace

struct Publisher::State {
    State(PublisherSetup s, OutboxMarks& m, AgentStats& st)
        : setup(std::move(s)), marks(m), stats(st), reader(setup.store_path)
    {
    }

    PublisherSetup setup;
    OutboxMarks& marks;
    AgentStats& stats;
    OutboxReader reader;  // the pump thread's only
    mqtt::Library library;
    mqtt::ClientHandle client;
    std::thread pump;
    bool started = false;

    // Shared with libmosquitto's thread, under `lock`.
    std::mutex lock;
    std::condition_variable woken;
    bool wake_flag = false;
    bool stopping = false;
    bool connected = false;
    uint64_t connect_epoch = 0;
    std::map<int, Flight> flights;
    std::map<int, std::pair<int, Clock::time_point>> early_acks;  // mid -> reason, when
    std::array<std::vector<int64_t>, 2> acked;
    std::array<int64_t, 2> confirmed = {0, 0};
    std::string last_refusal;  // told once until it changes
    mqtt::TlsReasons tls;

    // The pump thread's own.
    uint64_t seen_epoch = 0;
    std::array<int64_t, 2> live_next = {1, 1};
    std::array<Backlog, 2> backlog;
    std::array<int64_t, 2> unconfirmed_from = {1, 1};
    std::array<int64_t, 2> confirmed_written = {0, 0};
    std::array<std::set<int64_t>, 2> in_flight;  // a copy of flights' rows, kept by the pump
    double tokens = 0;
    Clock::time_point last_refill = Clock::now();
    Clock::time_point next_repair_check = Clock::now();
    Clock::time_point next_count = Clock::now();

    void log(const std::string& line) const
    {
        if (setup.log) setup.log(line);
    }
    const std::string& prefix() const { return setup.mqtt.topic_prefix; }
    int free_window() const
    {
        return setup.mqtt.inflight - static_cast<int>(in_flight[0].size() + in_flight[1].size());
    }

    void connect();
    void run();
    void take_callbacks(bool& is_connected, uint64_t& epoch);
    void write_marks(std::array<std::vector<int64_t>, 2>& acks, const std::array<int64_t, 2>& confirms);
    void start_backlogs();
    void send_live();
    void send_backlog();
    void check_repairs();
    void expire_flights();
    void count_outbox();
    bool publish_row(Stream stream, int64_t seq, const std::string& topic, const std::string& payload);
    int publish_own(const std::string& topic, const std::string& payload, int qos, bool retain);
    void note_flight(int mid, const Flight& flight);
    mqtt::Origin origin(Stream stream) const
    {
        return {setup.site, setup.store_id, unconfirmed_from[index_of(stream)]};
    }
    Json::Value summary(const StoredRecord& r) const
    {
        return setup.summarize ? setup.summarize(r) : Json::Value(Json::objectValue);
    }

    // libmosquitto's thread.
    static void on_connect(mosquitto*, void* self, int reason, int, const mosquitto_property*);
    static void on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void on_publish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);
    static void on_log(mosquitto*, void* self, int level, const char* line);
    void refused(const std::string& why);
};

Publisher::Publisher(PublisherSetup setup, OutboxMarks& marks, AgentStats& stats)
    : state_(std::make_unique<State>(std::move(setup), marks, stats))
{
    State& s = *state_;
    const std::string id = s.setup.mqtt.client_id.empty() ? "qm-" + s.setup.site : s.setup.mqtt.client_id;
    s.client = mqtt::make_client(s.setup.mqtt, id, true, true, &s);
    mosquitto* c = s.client.get();
    mosquitto_int_option(c, MOSQ_OPT_SEND_MAXIMUM, s.setup.mqtt.inflight);
    mosquitto_connect_v5_callback_set(c, &State::on_connect);
    mosquitto_disconnect_v5_callback_set(c, &State::on_disconnect);
    mosquitto_publish_v5_callback_set(c, &State::on_publish);
    mosquitto_message_v5_callback_set(c, &State::on_message);
    mosquitto_log_callback_set(c, &State::on_log);
    mosquitto_reconnect_delay_set(c, kReconnectDelayMinS, kReconnectDelayMaxS, true);
    const std::string will = mqtt::agent_offline_payload();
    const int rc = mosquitto_will_set(c, mqtt::agent_topic(s.prefix(), s.setup.site).c_str(),
                                      static_cast<int>(will.size()), will.data(), kQos, true);
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error("MQTT last will: " + mqtt::error_text(rc));
}

Publisher::~Publisher() { stop(); }

void Publisher::start()
{
    State& s = *state_;
    if (s.started) return;
    s.started = true;
    s.connect();
    s.pump = std::thread([&s] { s.run(); });
}

void Publisher::wake()
{
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->wake_flag = true;
    }
    state_->woken.notify_one();
}

void Publisher::stop()
{
    State& s = *state_;
    if (!s.started) return;
    s.started = false;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.stopping = true;
    }
    s.woken.notify_one();
    s.pump.join();
    bool is_connected = false;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        is_connected = s.connected;
    }
    if (is_connected)
        s.publish_own(mqtt::agent_topic(s.prefix(), s.setup.site), mqtt::agent_offline_payload(), kQos, true);
    mosquitto_disconnect(s.client.get());
    mosquitto_loop_stop(s.client.get(), false);
    s.stats.broker_connected = false;
}

void Publisher::State::connect()
{
    mosquitto* c = client.get();
    const int rc = mosquitto_connect_async(c, setup.mqtt.host.c_str(), setup.mqtt.port, setup.mqtt.keepalive_s);
    // A broker not there yet is tried again by the loop below.
    if (rc != MOSQ_ERR_SUCCESS)
        log("MQTT broker " + setup.mqtt.host + ":" + std::to_string(setup.mqtt.port) +
            " not reached yet: " + mqtt::error_text(rc));
    const int loop = mosquitto_loop_start(c);
    if (loop != MOSQ_ERR_SUCCESS) throw std::runtime_error("MQTT client thread: " + mqtt::error_text(loop));
}

void Publisher::State::run()
{
    while (true) {
        bool is_connected = false;
        uint64_t epoch = 0;
        {
            std::unique_lock<std::mutex> hold(lock);
            woken.wait_for(hold, kPollEvery, [this] { return stopping || wake_flag; });
            wake_flag = false;
            if (stopping) break;
        }
        take_callbacks(is_connected, epoch);
        stats.broker_connected = is_connected;
        try {
            for (Stream stream : kStreams) unconfirmed_from[index_of(stream)] = reader.unconfirmed_from(stream);
            if (Clock::now() >= next_count) count_outbox();
            if (!is_connected) continue;
            if (epoch != seen_epoch) {
                seen_epoch = epoch;
                start_backlogs();
            }
            expire_flights();
            send_live();
            send_backlog();
            check_repairs();
        } catch (const std::exception& e) {
            // The store is being written or checkpointed; the next round reads again.
            log(std::string("publisher: ") + e.what());
        }
    }
}

// What libmosquitto's thread noted since the last round, written to the store.
void Publisher::State::take_callbacks(bool& is_connected, uint64_t& epoch)
{
    std::array<std::vector<int64_t>, 2> acks;
    std::array<int64_t, 2> confirms{};
    {
        std::lock_guard<std::mutex> hold(lock);
        is_connected = connected;
        epoch = connect_epoch;
        acks.swap(acked);
        confirms = confirmed;
        for (auto& rows : in_flight) rows.clear();
        for (const auto& [mid, flight] : flights)
            if (flight.row) in_flight[index_of(flight.stream)].insert(flight.seq);
        const auto now = Clock::now();
        for (auto early = early_acks.begin(); early != early_acks.end();)
            early = now - early->second.second > kEarlyAckKeep ? early_acks.erase(early) : std::next(early);
    }
    write_marks(acks, confirms);
}

void Publisher::State::write_marks(std::array<std::vector<int64_t>, 2>& acks, const std::array<int64_t, 2>& confirms)
{
    const int64_t now_ms = utc_now_ms();
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        if (!acks[i].empty()) marks.mark_acked(stream, acks[i], now_ms);
        if (confirms[i] > confirmed_written[i]) {
            marks.mark_confirmed_up_to(stream, confirms[i]);
            confirmed_written[i] = confirms[i];
        }
    }
}

// At start and after every reconnect: what the centre has not confirmed may
// have been lost with the broker, so it all goes again, in seq order, behind
// the live rows. Rows libmosquitto still holds in flight it resends itself.
void Publisher::State::start_backlogs()
{
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        live_next[i] = reader.last_seq(stream) + 1;
        backlog[i] = Backlog{unconfirmed_from[i], live_next[i] - 1, INT64_MAX};
    }
    tokens = 0;
    last_refill = Clock::now();
}

void Publisher::State::send_live()
{
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        if (free_window() <= 0) return;
        const OutboxRange range{live_next[i], INT64_MAX, INT64_MAX, free_window()};
        bool sent = true;
        if (stream == Stream::Records) {
            reader.each_record(range, [&](const StoredRecord& r) {
                if (!sent) return;
                const Json::Value values = summary(r);
                sent = publish_row(stream, r.seq, mqtt::record_topic(prefix(), setup.site, r.unit),
                                   mqtt::record_payload(r, origin(stream), values, r.acked_ms.has_value()));
                if (!sent) return;
                live_next[i] = r.seq + 1;
                publish_own(mqtt::status_topic(prefix(), setup.site, r.unit),
                            mqtt::status_payload(r, origin(stream), values), 0, true);
            });
        } else {
            reader.each_event(range, [&](const StoredEvent& e) {
                if (!sent) return;
                sent = publish_row(stream, e.seq, mqtt::event_topic(prefix(), setup.site, e.unit),
                                   mqtt::event_payload(e, origin(stream), e.acked_ms.has_value()));
                if (sent) live_next[i] = e.seq + 1;
            });
        }
    }
}

void Publisher::State::send_backlog()
{
    const auto now = Clock::now();
    const double rate = setup.mqtt.backlog_per_s;
    tokens = std::min<double>(tokens + rate * std::chrono::duration<double>(now - last_refill).count(),
                              std::max(1, setup.mqtt.inflight));
    last_refill = now;
    for (Stream stream : kStreams) {
        Backlog& b = backlog[index_of(stream)];
        const int64_t quota = std::min<int64_t>(free_window(), static_cast<int64_t>(tokens));
        if (!b.active() || quota <= 0) continue;
        const bool repair = b.acked_before != INT64_MAX;
        int64_t sent_count = 0;
        int64_t seen = 0;
        bool stopped = false;
        // Rows still in flight are skipped; read enough to get past them.
        const OutboxRange range{b.next, b.end, b.acked_before, quota + setup.mqtt.inflight};
        int64_t last_done = b.next - 1;
        const auto visit = [&](int64_t seq, const std::string& topic, const std::function<std::string(bool)>& payload,
                               bool acked) {
            ++seen;
            if (stopped) return;
            if (in_flight[index_of(stream)].count(seq) == 0) {
                const bool replay = acked || repair;
                if (sent_count >= quota || !publish_row(stream, seq, topic, payload(replay))) {
                    stopped = true;
                    return;
                }
                ++sent_count;
                if (replay) ++stats.replayed_total;
            }
            last_done = seq;
        };
        if (stream == Stream::Records)
            reader.each_record(range, [&](const StoredRecord& r) {
                visit(r.seq, mqtt::record_topic(prefix(), setup.site, r.unit),
                      [&](bool replay) { return mqtt::record_payload(r, origin(stream), summary(r), replay); },
                      r.acked_ms.has_value());
            });
        else
            reader.each_event(range, [&](const StoredEvent& e) {
                visit(e.seq, mqtt::event_topic(prefix(), setup.site, e.unit),
                      [&](bool replay) { return mqtt::event_payload(e, origin(stream), replay); },
                      e.acked_ms.has_value());
            });
        // A read that came back short and was not cut off reached the range's end.
        b.next = (!stopped && seen < range.limit) ? b.end + 1 : last_done + 1;
        tokens -= static_cast<double>(sent_count);
    }
}

// Rows acknowledged by the broker but not confirmed by the centre within
// replay_after_s (a broker that lost them, a centre that was away) go again.
void Publisher::State::check_repairs()
{
    const auto now = Clock::now();
    if (now < next_repair_check) return;
    next_repair_check = now + kRepairCheckEvery;
    const int64_t cut = utc_now_ms() - static_cast<int64_t>(setup.mqtt.replay_after_s * 1000);
    for (Stream stream : kStreams) {
        const std::size_t i = index_of(stream);
        if (backlog[i].active()) continue;
        const OutboxRange range{unconfirmed_from[i], live_next[i] - 1, cut, setup.mqtt.inflight + 1};
        std::optional<int64_t> first;
        const auto consider = [&](int64_t seq) {
            if (!first && in_flight[i].count(seq) == 0) first = seq;
        };
        if (stream == Stream::Records)
            reader.each_record(range, [&](const StoredRecord& r) { consider(r.seq); });
        else
            reader.each_event(range, [&](const StoredEvent& e) { consider(e.seq); });
        if (first) backlog[i] = Backlog{*first, live_next[i] - 1, cut};
    }
}

// A message libmosquitto never got acknowledged (a broker that dropped the
// session) would hold the window for good: after replay_after_s it is let
// go, and the repair sends its row again.
void Publisher::State::expire_flights()
{
    const auto limit = Clock::now() - std::chrono::milliseconds(static_cast<int64_t>(setup.mqtt.replay_after_s * 1000));
    std::lock_guard<std::mutex> hold(lock);
    for (auto f = flights.begin(); f != flights.end();) {
        if (f->second.sent >= limit) {
            ++f;
            continue;
        }
        if (f->second.row) in_flight[index_of(f->second.stream)].erase(f->second.seq);
        f = flights.erase(f);
    }
}

void Publisher::State::count_outbox()
{
    next_count = Clock::now() + kCountEvery;
    stats.outbox_records = reader.unconfirmed_count(Stream::Records);
    stats.outbox_events = reader.unconfirmed_count(Stream::Events);
}

// False when libmosquitto did not take the message (the row stays due).
// MOSQ_ERR_NO_CONN is not such a case: the message is queued and sent after
// the reconnect, so it is in flight like any other.
bool Publisher::State::publish_row(Stream stream, int64_t seq, const std::string& topic, const std::string& payload)
{
    int mid = 0;
    const int rc = mosquitto_publish_v5(client.get(), &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), kQos, false, nullptr);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        refused("cannot publish on " + topic + ": " + mqtt::error_text(rc));
        return false;
    }
    note_flight(mid, Flight{true, stream, seq, Clock::now()});
    in_flight[index_of(stream)].insert(seq);
    ++stats.published_total;
    return true;
}

int Publisher::State::publish_own(const std::string& topic, const std::string& payload, int qos, bool retain)
{
    int mid = 0;
    const int rc = mosquitto_publish_v5(client.get(), &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), qos, retain, nullptr);
    if (qos > 0 && (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN)) note_flight(mid, Flight{false, {}, 0, Clock::now()});
    return rc;
}

// The PUBACK may already have come on libmosquitto's thread.
void Publisher::State::note_flight(int mid, const Flight& flight)
{
    std::lock_guard<std::mutex> hold(lock);
    const auto early = early_acks.find(mid);
    if (early == early_acks.end()) {
        flights[mid] = flight;
        return;
    }
    const int reason = early->second.first;
    early_acks.erase(early);
    if (flight.row && reason < 0x80) acked[index_of(flight.stream)].push_back(flight.seq);
}

void Publisher::State::refused(const std::string& why)
{
    std::lock_guard<std::mutex> hold(lock);
    if (why == last_refusal) return;
    last_refusal = why;
    log(why);
}

void Publisher::State::on_connect(mosquitto* m, void* self, int reason, int, const mosquitto_property*)
{
    auto& s = *static_cast<State*>(self);
    const std::string where = s.setup.mqtt.host + ":" + std::to_string(s.setup.mqtt.port);
    if (reason != 0) {
        s.refused("MQTT broker " + where + " refused the connection: " + mqtt::connack_text(reason));
        return;
    }
    mosquitto_subscribe(m, nullptr, mqtt::confirm_topic(s.prefix(), s.setup.site).c_str(), kQos);
    s.publish_own(mqtt::agent_topic(s.prefix(), s.setup.site),
                  mqtt::agent_online_payload(s.setup.version, utc_now_ms()), kQos, true);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.connected = true;
        ++s.connect_epoch;
        s.wake_flag = true;
        s.last_refusal.clear();
    }
    s.woken.notify_one();
    s.log("MQTT broker " + where + " connected");
}

void Publisher::State::on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*)
{
    auto& s = *static_cast<State*>(self);
    bool was_connected = false;
    bool stopping = false;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        was_connected = s.connected;
        stopping = s.stopping;
        s.connected = false;
    }
    std::string tls;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        tls = s.tls.take();
    }
    if (was_connected && !stopping)
        s.log("MQTT broker connection lost: " + mqtt::error_text(rc) + (tls.empty() ? "" : ": " + tls) +
              "; rows stay in the store until the centre confirms them");
    else if (!tls.empty())
        s.refused("MQTT broker TLS handshake failed: " + tls);
}

void Publisher::State::on_publish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*)
{
    auto& s = *static_cast<State*>(self);
    std::string refusal;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        const auto flight = s.flights.find(mid);
        if (flight == s.flights.end()) {
            s.early_acks[mid] = {reason, Clock::now()};
        } else {
            if (flight->second.row && reason < 0x80)
                s.acked[index_of(flight->second.stream)].push_back(flight->second.seq);
            else if (reason >= 0x80)
                refusal = "the MQTT broker refused a message: " + mqtt::connack_text(reason);
            s.flights.erase(flight);
        }
        s.wake_flag = true;
    }
    s.woken.notify_one();
    if (!refusal.empty()) s.refused(refusal);
}

void Publisher::State::on_message(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*)
{
    auto& s = *static_cast<State*>(self);
    const std::optional<mqtt::Confirm> confirm = mqtt::parse_confirm(message->payload, static_cast<std::size_t>(message->payloadlen));
    if (!confirm || confirm->store != s.setup.store_id) return;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.confirmed[0] = std::max(s.confirmed[0], confirm->record_seq);
        s.confirmed[1] = std::max(s.confirmed[1], confirm->event_seq);
        s.wake_flag = true;
    }
    s.woken.notify_one();
}

void Publisher::State::on_log(mosquitto*, void* self, int level, const char* line)
{
    auto& s = *static_cast<State*>(self);
    std::lock_guard<std::mutex> hold(s.lock);
    s.tls.note(level, line);
}

}  // namespace agent
