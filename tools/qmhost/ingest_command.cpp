// qmhost ingest: subscribes to every site's records and events, keeps each
// once under its (store, seq) in an ingest store, and after each commit
// publishes the stores' contiguous high-water marks on PREFIX/SITE/confirm,
// so the sites may let those rows go.
#include "tools/qmhost/ingest_command.hpp"

#include "hosting/stop_signals.hpp"

#include "agent/ingest_store.hpp"
#include "agent/postgres_url.hpp"
#ifdef QM_WITH_POSTGRES
#include "agent/ingest_postgres.hpp"
#endif
#include "agent/mqtt_client.hpp"
#include "agent/mqtt_link.hpp"
#include "agent/mqtt_messages.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/refusals.hpp"
#include "agent/store.hpp"
#include "tools/common/arguments.hpp"
#include "base/usage_error.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A commit takes what came within this time, or this many messages.
constexpr auto kBatchWait = std::chrono::milliseconds(20);
constexpr std::size_t kBatchMax = 2000;
// Messages waiting for a commit, and their bytes; libmosquitto's thread
// waits when either is reached, and with it the broker, which holds the rest.
constexpr std::size_t kQueueBound = 20000;
constexpr std::size_t kQueueBytes = 64 * 1024 * 1024;

struct IngestCommandLine {
    agent::MqttSettings mqtt;
    std::string db;
    std::string share;
    std::string password_file;
    std::string cafile;
    std::string cert;
    std::string key;
    std::optional<int> keep_days;
    bool help = false;
};

void set_broker(IngestCommandLine& c, const std::string& value)
{
    const auto colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) throw UsageError("--broker needs HOST:PORT, not \"" + value + "\"");
    c.mqtt.host = value.substr(0, colon);
    c.mqtt.port = parse_integer<int>("--broker's port", value.substr(colon + 1), 1, 65535);
}

const OptionSetters<IngestCommandLine>& ingest_options()
{
    static const OptionSetters<IngestCommandLine> options = {
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
        {"--keep-days",
         [](IngestCommandLine& c, const std::string& v) { c.keep_days = parse_integer<int>("--keep-days", v, 0, 100000); }},
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
    ArgumentWords words(argc, argv, 2);
    if (!take_options(words, ingest_options(), c, "ingest")) {
        c.help = true;
        return c;
    }
    if (c.mqtt.host.empty()) throw UsageError("ingest needs --broker HOST:PORT");
    if (c.db.empty()) throw UsageError("ingest needs --db FILE or --db postgresql://..., where it keeps the rows");
    if (c.keep_days && !agent::is_postgres_url(c.db))
        throw UsageError("--keep-days drops a PostgreSQL centre's day partitions; an ingest store file keeps every row");
    if (!c.share.empty() && !agent::mqtt::is_topic_level(c.share))
        throw UsageError("--share needs a group name without /, +, # or $");
    check_access(c);
    return c;
}

void log_line(const std::string& line) { std::cerr << "qmhost: ingest: " << line << std::endl; }

// A message as the broker delivered it, read on the ingest's reading thread.
struct Arrived {
    std::string topic;
    std::string payload;
};

// Everything libmosquitto's thread hands over, under one lock.
struct Inbox final : agent::mqtt::LinkListener {
    Inbox(std::string topic_prefix, std::vector<std::string> filters, std::string id)
        : prefix(std::move(topic_prefix)), subscriptions(std::move(filters)), client_id(std::move(id))
    {
    }

    const std::string prefix;
    const std::vector<std::string> subscriptions;
    const std::string client_id;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Arrived> messages;
    std::size_t queued_bytes = 0;  // of the payloads in `messages`
    bool producer_waits = false;   // libmosquitto's thread, for room in the queue
    bool is_connected = false;
    bool stopping = false;
    // Each reason told at most once a minute, with a count.
    agent::RefusalLog refusals{log_line};

    void connected(int reason) override
    {
        if (reason != 0) {
            log_line("the broker refused the connection: " + agent::mqtt::connack_text(reason));
            return;
        }
        {
            std::lock_guard<std::mutex> hold(lock);
            is_connected = true;
        }
        log_line("connected as " + client_id + "; subscribed to " + subscriptions.front() + " and " +
                 subscriptions.back());
    }

    void disconnected(int rc, const std::string& tls) override
    {
        bool told = false;
        {
            std::lock_guard<std::mutex> hold(lock);
            told = is_connected && !stopping;
            is_connected = false;
        }
        if (told || !tls.empty())
            log_line("connection lost: " + agent::mqtt::error_text(rc) + (tls.empty() ? "" : ": " + tls));
    }

    // Only queued here: libmosquitto's thread reads the socket and sends
    // each PUBACK, and the reading thread reads the messages, so the work
    // is shared across cores.
    void received(const char* topic, const void* payload, std::size_t length) override
    {
        // Beyond any message of ours: refused here, never copied.
        if (length > agent::mqtt::kMaxPayloadBytes) {
            refusals.add(agent::Refusal::TooLarge, std::string("on ") + topic + ": not 1 to " +
                                                       std::to_string(agent::mqtt::kMaxPayloadBytes) + " bytes");
            return;
        }
        Arrived arrived{topic, std::string(static_cast<const char*>(payload), length)};
        std::unique_lock<std::mutex> hold(lock);
        // The message is acknowledged when this returns: it must be queued first.
        producer_waits = true;
        changed.wait(hold, [&] {
            return (messages.size() < kQueueBound && queued_bytes + length <= kQueueBytes) || stopping;
        });
        producer_waits = false;
        queued_bytes += length;
        messages.push_back(std::move(arrived));
        // The reading thread waits for the first message, then for a full batch:
        // waking it for every message in between costs a switch each.
        if (messages.size() == 1 || messages.size() == kBatchMax) changed.notify_all();
    }

    // libmosquitto's thread no longer waits for room in the queue.
    void close()
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
        }
        changed.notify_all();
    }

    // A message's site and unit are its topic's: the broker's ACL vouches
    // for them, and the payload must agree.
    std::optional<agent::mqtt::Received> read(const Arrived& arrived)
    {
        const std::optional<agent::mqtt::Topic> where = agent::mqtt::parse_topic(prefix, arrived.topic);
        agent::mqtt::Refused why{agent::Refusal::WrongTopic, "not a record or event topic"};
        std::optional<agent::mqtt::Received> kept;
        if (where) kept = agent::mqtt::parse_received(*where, arrived.payload.data(), arrived.payload.size(), why);
        if (!kept) refusals.add(why.reason, "on " + arrived.topic + ": " + why.why);
        return kept;
    }
};

std::vector<Arrived> next_batch(Inbox& in, StopSignals& signals, bool& stop)
{
    std::vector<Arrived> batch;
    std::unique_lock<std::mutex> hold(in.lock);
    in.changed.wait_for(hold, kBatchWait, [&] { return !in.messages.empty(); });
    if (!in.messages.empty() && in.messages.size() < kBatchMax) {
        // Let a burst gather, so one fsync carries many messages.
        in.changed.wait_for(hold, kBatchWait, [&] { return in.messages.size() >= kBatchMax; });
    }
    batch.reserve(std::min(in.messages.size(), kBatchMax));
    while (!in.messages.empty() && batch.size() < kBatchMax) {
        in.queued_bytes -= in.messages.front().payload.size();
        batch.push_back(std::move(in.messages.front()));
        in.messages.pop_front();
    }
    if (in.producer_waits) in.changed.notify_all();
    hold.unlock();
    stop = batch.empty() && signals.requested();
    return batch;
}

// A batch read from the inbox, with what the database's side made of it ahead.
struct ReadBatch {
    std::vector<agent::mqtt::Received> messages;
    std::vector<std::string> prepared;
    bool last = false;  // a stop was asked for and the inbox is empty
};

// Reads each batch on a thread of its own while the batch before commits:
// the messages' reading and the rows' making overlap the database's work.
// One batch waits at most, so the broker still holds the rest.
class ReadAhead {
public:
    ReadAhead(Inbox& inbox, const agent::IngestBackend& store, StopSignals& signals)
        : inbox_(inbox), store_(store), signals_(signals), reader_([this] { run(); })
    {
    }
    ~ReadAhead()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            closed_ = true;
        }
        changed_.notify_all();
        reader_.join();
    }

    // The next batch; throws what stopped the reading thread.
    ReadBatch take()
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return ready_.has_value() || failure_; });
        if (!ready_) std::rethrow_exception(failure_);
        ReadBatch batch = std::move(*ready_);
        ready_.reset();
        changed_.notify_all();
        return batch;
    }

private:
    void run()
    {
        try {
            read_batches();
        } catch (...) {
            std::lock_guard<std::mutex> hold(lock_);
            failure_ = std::current_exception();
            changed_.notify_all();
        }
    }

    void read_batches()
    {
        for (bool stop = false; !stop;) {
            ReadBatch batch;
            const std::vector<Arrived> arrived = next_batch(inbox_, signals_, stop);
            batch.messages.reserve(arrived.size());
            for (const Arrived& a : arrived)
                if (std::optional<agent::mqtt::Received> kept = inbox_.read(a)) batch.messages.push_back(std::move(*kept));
            inbox_.refusals.tick();
            batch.prepared = store_.prepare(batch.messages);
            batch.last = stop;
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return !ready_ || closed_; });
            if (closed_) return;
            ready_ = std::move(batch);
            changed_.notify_all();
        }
    }

    Inbox& inbox_;
    const agent::IngestBackend& store_;
    StopSignals& signals_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<ReadBatch> ready_;
    std::exception_ptr failure_;
    bool closed_ = false;
    std::thread reader_;  // last: it uses everything above
};

void publish_confirmations(agent::mqtt::Link& link, const std::string& prefix,
                           const std::vector<agent::Confirmation>& marks)
{
    for (const agent::Confirmation& c : marks) {
        // Retained: a site that reconnects learns the marks at once.
        link.publish(agent::mqtt::confirm_topic(prefix, c.site), agent::mqtt::confirm_payload(c.confirm), 1, true);
    }
}

std::unique_ptr<agent::IngestBackend> open_backend(const IngestCommandLine& c)
{
    if (!agent::is_postgres_url(c.db)) return std::make_unique<agent::IngestStore>(c.db);
#ifdef QM_WITH_POSTGRES
    return std::make_unique<agent::IngestPostgres>(c.db, agent::CentreOptions{c.keep_days});
#else
    throw UsageError("this qmhost was built without PostgreSQL (libpq): --db takes an ingest store file");
#endif
}

int ingest(const IngestCommandLine& c)
{
    StopSignals signals;  // before libmosquitto's thread, which then inherits the blocked signals
    const std::unique_ptr<agent::IngestBackend> backend = open_backend(c);
    agent::IngestBackend& store = *backend;
    const std::string share = c.share.empty() ? "" : "$share/" + c.share + "/";
    agent::mqtt::LinkSetup setup;
    // The broker keeps the session (and queues for it) across restarts: the
    // client id is --id or the one kept in the ingest store. The ingests of a
    // --share group share one store, so without --id each is new each time.
    const bool lasting = !c.mqtt.client_id.empty() || c.share.empty();
    setup.client_id = !c.mqtt.client_id.empty() ? c.mqtt.client_id
                      : c.share.empty()         ? store.client_id()
                                                : "qm-ingest-" + std::to_string(getpid());
    setup.clean_start = !lasting;
    setup.v5 = false;
    setup.subscriptions = {share + agent::mqtt::all_records_filter(c.mqtt.topic_prefix),
                           share + agent::mqtt::all_events_filter(c.mqtt.topic_prefix)};
    Inbox inbox(c.mqtt.topic_prefix, setup.subscriptions, setup.client_id);
    agent::mqtt::Link link(c.mqtt, setup, inbox);
    // However the ingest ends (a database gone throws), libmosquitto's
    // thread is let go before the link waits for it.
    const struct InboxClosed {
        Inbox& inbox;
        ~InboxClosed() { inbox.close(); }
    } closed{inbox};
    const std::string not_reached = link.start();
    if (!not_reached.empty()) log_line("broker not reached yet: " + not_reached);

    agent::IngestTotals totals;
    ReadAhead ahead(inbox, store, signals);
    for (;;) {
        const ReadBatch next = ahead.take();
        store.tend();
        if (!next.messages.empty()) {
            const int64_t foreign = totals.foreign;
            const int64_t reused = totals.reused;
            publish_confirmations(link, c.mqtt.topic_prefix, store.commit(next.messages, next.prepared, totals));
            inbox.refusals.add(agent::Refusal::ForeignStore, totals.last_foreign, totals.foreign - foreign);
            inbox.refusals.add(agent::Refusal::ReusedSeq, totals.last_reused, totals.reused - reused);
        }
        if (next.last) break;
    }
    inbox.close();
    link.stop();
    inbox.refusals.flush();
    log_line("kept " + std::to_string(totals.records) + " records and " + std::to_string(totals.events) +
             " events, " + std::to_string(totals.duplicates) + " duplicates, " + std::to_string(inbox.refusals.total()) +
             " refused (" + std::to_string(totals.reused) + " of them a seq reused with other content)");
    return 0;
}

const char kIngestUsage[] =
    "  qmhost ingest --broker HOST:PORT (--db FILE | --db postgresql://... [--keep-days N]) [--share GROUP]\n"
    "                [--topic-prefix PREFIX] [--id ID]\n"
    "                [--username NAME --password-file FILE] [--cafile FILE [--cert FILE --key FILE]]\n";

const char kIngestHelp[] = R"(ingest: the monitoring centre's reference consumer of the agents' records and events.
  --broker HOST:PORT  the broker to subscribe at
  --db FILE           the ingest store (created when missing); qmhost history and events read it
  --db postgresql://USER@HOST/DATABASE   the centre's PostgreSQL database instead (its schema
                      made or brought up to date at start): records and events in tables of a
                      partition a day, the records' values as jsonb; several ingests may write it
  --keep-days N       PostgreSQL: drop each day's partitions once N whole days have passed after it
                      (checked at start and each minute); default: keep every day
  --share GROUP       subscribe as $share/GROUP/..., so the ingests of a group split the messages
                      (they then share one --db, whose marks they confirm)
  --topic-prefix P    the topics' prefix (default qm/v1)
  --id ID             the client id (default: one kept in the ingest store, made when it is created;
                      with --share and no --id, a new one each start); the broker keeps the session
                      (and queues for it) across restarts
  --username NAME, --password-file FILE   log in (the password is the file's first line)
  --cafile FILE       TLS: the CA of the broker's certificate, whose name is checked
  --cert FILE, --key FILE                 TLS: this client's certificate and key
  --keepalive S       seconds between keepalives (default 30)
Each message is kept once under its (store, seq); one with other content under a (store, seq)
already kept is refused (reused_seq: the store issued that seq twice) and the first stays.
After each commit the stores' contiguous high-water marks go to PREFIX/SITE/confirm (retained).
A message is refused, and each reason logged once a minute with a count, when it is malformed
or out of range, when its site or unit is not its topic's, when its store belongs to another
site (the first to send it), or when it reuses a seq.
SIGINT or SIGTERM stops it after a last commit; it then says what it kept, and how many
duplicates and refused messages it saw.
  Exit status 0; 1 when the store or database cannot be written; 2 for a command line it cannot run.
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
