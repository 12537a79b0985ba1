// qmhost ingest: subscribes to every site's records and events, keeps each
// once under its (store, seq) in an ingest store, and after each commit
// publishes the stores' contiguous high-water marks on PREFIX/SITE/confirm,
// so the sites may let those rows go.
#include "tools/qmhost/ingest_command.hpp"

#include "hosting/stop_signals.hpp"

#include "agent/ingest_store.hpp"
#include "agent/mqtt_client.hpp"
#include "agent/mqtt_messages.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/store.hpp"
#include "tools/common/arguments.hpp"
#include "base/usage_error.hpp"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

// A commit takes what came within this time, or this many messages.
constexpr auto kBatchWait = std::chrono::milliseconds(20);
constexpr std::size_t kBatchMax = 2000;
// Messages waiting for a commit; libmosquitto's thread waits when it is
// full, and with it the broker, which holds the rest.
constexpr std::size_t kQueueBound = 20000;
// Malformed messages are told one by one only this many times.
constexpr int64_t kRefusalsTold = 10;

struct IngestCommandLine {
    agent::MqttSettings mqtt;
    std::string db;
    std::string share;
    std::string password_file;
    std::string cafile;
    std::string cert;
    std::string key;
    bool help = false;
};

void set_broker(IngestCommandLine& c, const std::string& value)
{
    const auto colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) throw UsageError("--broker needs HOST:PORT, not \"" + value + "\"");
    c.mqtt.host = value.substr(0, colon);
    c.mqtt.port = parse_integer<int>("--broker's port", value.substr(colon + 1), 1, 65535);
}

using Setter = std::function<void(IngestCommandLine&, const std::string&)>;

const std::map<std::string, Setter>& ingest_options()
{
    static const std::map<std::string, Setter> options = {
        {"--broker", set_broker},
        {"--db", [](IngestCommandLine& c, const std::string& v) { c.db = v; }},
        {"--share", [](IngestCommandLine& c, const std::string& v) { c.share = v; }},
        {"--topic-prefix", [](IngestCommandLine& c, const std::string& v) { c.mqtt.topic_prefix = v; }},
        {"--id", [](IngestCommandLine& c, const std::string& v) { c.mqtt.client_id = v; }},
        {"--username", [](IngestCommandLine& c, const std::string& v) { c.mqtt.username = v; }},
        {"--password-file", [](IngestCommandLine& c, const std::string& v) { c.password_file = v; }},
        {"--cafile", [](IngestCommandLine& c, const std::string& v) { c.cafile = v; }},
        {"--cert", [](IngestCommandLine& c, const std::string& v) { c.cert = v; }},
        {"--key", [](IngestCommandLine& c, const std::string& v) { c.key = v; }},
        {"--keepalive",
         [](IngestCommandLine& c, const std::string& v) { c.mqtt.keepalive_s = parse_integer<int>("--keepalive", v, 5, 65535); }},
    };
    return options;
}

// The TLS and login options go through the site file's own checks, so both
// refuse the same mistakes.
void check_access(IngestCommandLine& c)
{
    Json::Value mqtt(Json::objectValue);
    mqtt["host"] = c.mqtt.host;
    mqtt["port"] = c.mqtt.port;
    mqtt["topic_prefix"] = c.mqtt.topic_prefix;
    mqtt["keepalive_s"] = c.mqtt.keepalive_s;
    if (!c.mqtt.username.empty()) mqtt["username"] = c.mqtt.username;
    if (!c.password_file.empty()) mqtt["password_file"] = c.password_file;
    if (!c.cafile.empty() || !c.cert.empty() || !c.key.empty()) {
        Json::Value& tls = mqtt["tls"];
        if (!c.cafile.empty()) tls["ca_file"] = c.cafile;
        if (!c.cert.empty()) tls["cert_file"] = c.cert;
        if (!c.key.empty()) tls["key_file"] = c.key;
    }
    const std::string client_id = c.mqtt.client_id;
    try {
        c.mqtt = agent::check_mqtt_settings(mqtt, "options", ".");
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    c.mqtt.client_id = client_id;
}

IngestCommandLine parse_ingest_command(int argc, const char* const* argv)
{
    IngestCommandLine c;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            c.help = true;
            return c;
        }
        std::string value;
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const auto option = ingest_options().find(arg);
        if (option == ingest_options().end()) throw UsageError("unknown option " + arg + " for ingest");
        if (eq == std::string::npos) {
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            value = argv[++i];
        }
        option->second(c, value);
    }
    if (c.mqtt.host.empty()) throw UsageError("ingest needs --broker HOST:PORT");
    if (c.db.empty()) throw UsageError("ingest needs --db FILE, the ingest store");
    if (!c.share.empty() && !agent::mqtt::is_topic_level(c.share))
        throw UsageError("--share needs a group name without /, +, # or $");
    check_access(c);
    return c;
}

// Everything libmosquitto's thread hands over, under one lock.
struct Inbox {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<agent::mqtt::Received> messages;
    bool connected = false;
    bool stopping = false;
    int64_t refused = 0;
    agent::mqtt::TlsReasons tls;
    std::vector<std::string> subscriptions;
};

void log_line(const std::string& line) { std::cerr << "qmhost: ingest: " << line << std::endl; }

void on_connect(mosquitto* m, void* inbox, int reason)
{
    auto& in = *static_cast<Inbox*>(inbox);
    if (reason != 0) {
        log_line("the broker refused the connection: " + agent::mqtt::connack_text(reason));
        return;
    }
    for (const std::string& filter : in.subscriptions) mosquitto_subscribe(m, nullptr, filter.c_str(), 1);
    {
        std::lock_guard<std::mutex> hold(in.lock);
        in.connected = true;
    }
    log_line("connected; subscribed to " + in.subscriptions.front() + " and " + in.subscriptions.back());
}

void on_disconnect(mosquitto*, void* inbox, int rc)
{
    auto& in = *static_cast<Inbox*>(inbox);
    std::string tls;
    bool told = false;
    {
        std::lock_guard<std::mutex> hold(in.lock);
        tls = in.tls.take();
        told = in.connected && !in.stopping;
        in.connected = false;
    }
    if (told || !tls.empty())
        log_line("connection lost: " + agent::mqtt::error_text(rc) + (tls.empty() ? "" : ": " + tls));
}

bool ends_with(const char* text, const std::string& end)
{
    const std::string t(text);
    return t.size() >= end.size() && t.compare(t.size() - end.size(), end.size(), end) == 0;
}

void on_message(mosquitto*, void* inbox, const mosquitto_message* message)
{
    using Kind = agent::mqtt::Received::Kind;
    auto& in = *static_cast<Inbox*>(inbox);
    const Kind kind = ends_with(message->topic, "/event") ? Kind::Event : Kind::Record;
    std::string why;
    auto received = agent::mqtt::parse_received(kind, message->payload,
                                                static_cast<std::size_t>(std::max(0, message->payloadlen)), why);
    std::unique_lock<std::mutex> hold(in.lock);
    if (!received) {
        if (++in.refused <= kRefusalsTold) log_line(std::string("refused a message on ") + message->topic + ": " + why);
        return;
    }
    // The message is acknowledged when this returns: it must be queued first.
    in.changed.wait(hold, [&] { return in.messages.size() < kQueueBound || in.stopping; });
    in.messages.push_back(std::move(*received));
    in.changed.notify_all();
}

void on_log(mosquitto*, void* inbox, int level, const char* line)
{
    auto& in = *static_cast<Inbox*>(inbox);
    std::lock_guard<std::mutex> hold(in.lock);
    in.tls.note(level, line);
}

std::vector<agent::mqtt::Received> next_batch(Inbox& in, StopSignals& signals, bool& stop)
{
    std::vector<agent::mqtt::Received> batch;
    std::unique_lock<std::mutex> hold(in.lock);
    in.changed.wait_for(hold, kBatchWait, [&] { return !in.messages.empty(); });
    if (!in.messages.empty() && in.messages.size() < kBatchMax) {
        // Let a burst gather, so one fsync carries many messages.
        in.changed.wait_for(hold, kBatchWait, [&] { return in.messages.size() >= kBatchMax; });
    }
    while (!in.messages.empty() && batch.size() < kBatchMax) {
        batch.push_back(std::move(in.messages.front()));
        in.messages.pop_front();
    }
    in.changed.notify_all();
    hold.unlock();
    stop = batch.empty() && signals.requested();
    return batch;
}

void publish_confirmations(mosquitto* m, const std::string& prefix, const std::vector<agent::Confirmation>& marks)
{
    for (const agent::Confirmation& c : marks) {
        const std::string topic = agent::mqtt::confirm_topic(prefix, c.site);
        const std::string payload = agent::mqtt::confirm_payload(c.confirm);
        // Retained: a site that reconnects learns the marks at once.
        mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true);
    }
}

int ingest(const IngestCommandLine& c)
{
    StopSignals signals;  // before libmosquitto's thread, which then inherits the blocked signals
    agent::IngestStore store(c.db);
    const agent::mqtt::Library library;
    Inbox inbox;
    const std::string share = c.share.empty() ? "" : "$share/" + c.share + "/";
    inbox.subscriptions = {share + agent::mqtt::all_records_filter(c.mqtt.topic_prefix),
                           share + agent::mqtt::all_events_filter(c.mqtt.topic_prefix)};
    // A named client keeps its session across its own restarts; an unnamed one is new each time.
    const bool named = !c.mqtt.client_id.empty();
    const std::string id = named ? c.mqtt.client_id : "qm-ingest-" + std::to_string(getpid());
    agent::mqtt::ClientHandle client = agent::mqtt::make_client(c.mqtt, id, !named, false, &inbox);
    mosquitto* m = client.get();
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_disconnect_callback_set(m, on_disconnect);
    mosquitto_message_callback_set(m, on_message);
    mosquitto_log_callback_set(m, on_log);
    mosquitto_reconnect_delay_set(m, 1, 5, true);
    const int rc = mosquitto_connect_async(m, c.mqtt.host.c_str(), c.mqtt.port, c.mqtt.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) log_line("broker not reached yet: " + agent::mqtt::error_text(rc));
    if (mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) throw std::runtime_error("cannot start the MQTT client thread");

    agent::IngestTotals totals;
    for (bool stop = false; !stop;) {
        const std::vector<agent::mqtt::Received> batch = next_batch(inbox, signals, stop);
        if (batch.empty()) continue;
        publish_confirmations(m, c.mqtt.topic_prefix, store.commit(batch, totals));
    }
    {
        std::lock_guard<std::mutex> hold(inbox.lock);
        inbox.stopping = true;
    }
    inbox.changed.notify_all();
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    log_line("kept " + std::to_string(totals.records) + " records and " + std::to_string(totals.events) +
             " events, " + std::to_string(totals.duplicates) + " duplicates, " + std::to_string(inbox.refused) +
             " refused");
    return 0;
}

const char kIngestUsage[] =
    "  qmhost ingest --broker HOST:PORT --db FILE [--share GROUP] [--topic-prefix PREFIX] [--id ID]\n"
    "                [--username NAME --password-file FILE] [--cafile FILE [--cert FILE --key FILE]]\n";

const char kIngestHelp[] = R"(ingest: the monitoring centre's reference consumer of the agents' records and events.
  --broker HOST:PORT  the broker to subscribe at
  --db FILE           the ingest store (created when missing); qmhost history and events read it
  --share GROUP       subscribe as $share/GROUP/..., so the ingests of a group split the messages
                      (they then share one --db, whose marks they confirm)
  --topic-prefix P    the topics' prefix (default qm/v1)
  --id ID             a client id: the broker keeps the session (and queues for it) across restarts
  --username NAME, --password-file FILE   log in (the password is the file's first line)
  --cafile FILE       TLS: the CA of the broker's certificate, whose name is checked
  --cert FILE, --key FILE                 TLS: this client's certificate and key
  --keepalive S       seconds between keepalives (default 30)
Each message is kept once under its (store, seq); after each commit the store's contiguous
high-water marks go to PREFIX/SITE/confirm (retained). SIGINT or SIGTERM stops it after a last
commit; it then says what it kept, and how many duplicates and malformed messages it saw.
  Exit status 0; 1 when the store cannot be written; 2 for a command line it cannot run.
)";

}  // namespace

std::string ingest_usage_text() { return std::string("usage:\n") + kIngestUsage + "\n" + kIngestHelp; }

int run_ingest_command(int argc, const char* const* argv)
{
    const IngestCommandLine c = parse_ingest_command(argc, argv);
    if (c.help) {
        std::cout << ingest_usage_text() << std::flush;
        return 0;
    }
    return ingest(c);
}
