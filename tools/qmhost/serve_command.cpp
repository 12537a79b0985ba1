// qmhost serve: the site agent. One owner starts its parts in a known order
// (the store, the drivers, the HTTP server, the publisher, then one poller
// thread per line) and stops them in the reverse one: no part is global, and
// each is gone before what it uses.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/line_poller.hpp"
#include "tools/qmhost/plugin_library.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/stop_signals.hpp"
#include "tools/qmhost/whole_lines.hpp"

#include "agent/events.hpp"
#include "agent/http_server.hpp"
#include "agent/metrics.hpp"
#include "agent/mqtt_client.hpp"
#include "agent/publisher.hpp"
#include "agent/site_state.hpp"
#include "agent/status_json.hpp"
#include "agent/unit_values.hpp"
#include "agent/site_file.hpp"
#include "agent/store.hpp"
#include "agent/time_text.hpp"
#include "host/libmodbus_link.hpp"

#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// One line per event and per warning on standard error, for the journal.
void log_line(const std::string& text) { write_whole_line(std::cerr.rdbuf(), "qmhost: " + text + "\n"); }

std::string event_line(const agent::NewEvent& event)
{
    return agent::iso8601_utc_ms(event.ts_ms) + " " + (event.unit.empty() ? "" : event.unit + " ") + event.kind +
           " " + agent::compact_json(event.detail);
}

agent::StoreSettings store_settings(const agent::SiteFile& site)
{
    agent::StoreSettings settings;
    settings.site = site.site;
    settings.keep_days = site.store.keep_days;
    settings.max_mb = site.store.max_mb;
    // Rows stay until the centre confirms them only when there is a centre.
    settings.forwarding = site.mqtt.has_value();
    settings.warn = [](const std::string& line) { log_line(agent::iso8601_utc_ms(agent::utc_now_ms()) + " " + line); };
    return settings;
}

// The store, written by every line's thread in turn and by the publisher's
// marks: one connection behind one lock, held for a commit (one WAL sync, a
// few ms). A line may wait for other lines' commits, never for their Modbus
// requests or the broker.
class SharedStore : public agent::OutboxMarks {
public:
    SharedStore(const agent::SiteFile& site, agent::AgentStats& stats)
        : stats_(stats), store_(site.store.path, store_settings(site))
    {
    }

    const std::string& store_id() const { return store_.store_id(); }

    agent::ResumeState resume_state()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return store_.resume_state();
    }

    // A store that cannot be written (a full disk) says so once itself, and
    // polling goes on; each event is told either way.
    void write(const agent::Cycle& cycle)
    {
        std::lock_guard<std::mutex> hold(lock_);
        stats_.dropped_records_total += store_.commit_cycle(cycle).dropped_records;
        for (const agent::NewEvent& event : cycle.events) log_line(event_line(event));
    }

    void write_agent_event(const char* kind, const std::string& site_hash)
    {
        agent::Cycle cycle;
        cycle.time_ms = agent::utc_now_ms();
        cycle.events.push_back({"", cycle.time_ms, kind, agent::agent_detail(QM_VERSION, site_hash)});
        write(cycle);
    }

    void mark_acked(agent::Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        store_.mark_acked(stream, seqs, now_ms);
    }

    void mark_confirmed_up_to(agent::Stream stream, int64_t seq) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        store_.mark_confirmed_up_to(stream, seq);
    }

private:
    agent::AgentStats& stats_;
    std::mutex lock_;
    agent::Store store_;
};

// What a record message and a unit's retained status carry as "summary":
// the values and active alarms the status view shows, under the same keys.
Json::Value record_summary(const agent::StoredRecord& record)
{
    Json::Value summary = agent::record_summary_json(record);
    for (const char* told_beside : {"seq", "time", "local_time"}) summary.removeMember(told_beside);
    return summary;
}

std::unique_ptr<agent::Publisher> make_publisher(const agent::SiteFile& site, SharedStore& store,
                                                 agent::AgentStats& stats)
{
    if (!site.mqtt) return nullptr;
    agent::PublisherSetup setup;
    setup.mqtt = *site.mqtt;
    setup.site = site.site;
    setup.store_path = site.store.path;
    setup.store_id = store.store_id();
    setup.version = QM_VERSION;
    setup.summarize = record_summary;
    setup.log = [](const std::string& line) { log_line(agent::iso8601_utc_ms(agent::utc_now_ms()) + " " + line); };
    return std::make_unique<agent::Publisher>(std::move(setup), store, stats);
}

// Each unit as the HTTP server first sees it: its place, nothing polled yet.
std::vector<agent::UnitSnapshot> site_units(const agent::SiteFile& site)
{
    std::vector<agent::UnitSnapshot> units;
    for (std::size_t l = 0; l < site.lines.size(); ++l)
        for (const agent::SiteUnit& unit : site.lines[l].units) {
            agent::UnitSnapshot snapshot;
            snapshot.name = unit.name;
            snapshot.line = l;
            snapshot.slave = unit.slave;
            snapshot.device_id = unit.device_id;
            snapshot.interval_s = site.lines[l].interval_s;
            snapshot.alarm_mode = agent::alarm_code_mode(unit.settings);
            units.push_back(std::move(snapshot));
        }
    return units;
}

// A control waits this long for its line to finish the cycle in hand.
constexpr auto kControlWait = std::chrono::seconds(20);

class SiteAgent {
public:
    SiteAgent(const agent::SiteFile& site, const std::string& plugin_path)
        : site_(site), store_(site, stats_), plugin_(plugin_path), state_(site_units(site)),
          publisher_(make_publisher(site, store_, stats_))
    {
        // A token file that cannot be read stops the agent before it starts.
        if (site.http.enabled && !site.http.control_token_file.empty())
            token_ = agent::read_control_token(site.http.control_token_file);
        const agent::ResumeState resume = store_.resume_state();
        std::size_t first_unit = 0;
        for (std::size_t i = 0; i < site.lines.size(); ++i) {
            lines_.push_back(std::make_unique<LinePoller>(plugin_, site.lines[i], i, resume, stop_,
                                                          [this](const agent::Cycle& c) { write(c); }));
            lines_.back()->show_state_in(state_, first_unit);
            first_unit += site.lines[i].units.size();
        }
    }

    // Until a stop signal, every line polled on its own thread; kFailed
    // when a line's poller could not go on.
    ExitStatus run(StopSignals& signals)
    {
        set_link_stop_check([this] { return stop_.requested(); });
        const int64_t started_ms = agent::utc_now_ms();
        if (site_.http.enabled) start_http(started_ms);
        if (publisher_) publisher_->start();
        store_.write_agent_event(agent::event_kind::kAgentStarted, site_.hash);
        for (auto& line : lines_) line->start();
        while (!signals.wait_for(std::chrono::milliseconds(200)) && !stop_.requested()) {
        }
        stop_.request();
        // Controls still waiting are answered, then the server waits for its requests.
        for (auto& line : lines_) line->controls().close();
        http_.reset();
        for (auto& line : lines_) line->join();
        store_.write_agent_event(agent::event_kind::kAgentStopped, site_.hash);
        if (publisher_) publisher_->stop();
        set_link_stop_check({});
        const std::string failure = stop_.failure();
        if (failure.empty()) return ExitStatus::kOk;
        log_line(failure);
        return ExitStatus::kFailed;
    }

private:
    void write(const agent::Cycle& cycle)
    {
        store_.write(cycle);
        if (publisher_) publisher_->wake();
    }

    void start_http(int64_t started_ms)
    {
        agent::HttpParts parts;
        parts.settings = site_.http;
        parts.token = token_;
        parts.facts = {site_.site, QM_VERSION, started_ms, !token_.empty()};
        parts.state = &state_;
        parts.store_path = site_.store.path;
        parts.control = [this](const agent::ControlRequest& request) { return run_control(request); };
        if (publisher_)
            parts.metrics = [this](std::string& out) { agent::render_agent_metrics(site_.site, stats_.snapshot(), out); };
        http_ = std::make_unique<agent::HttpServer>(std::move(parts));
        log_line("serving HTTP on " + site_.http.address + ":" + std::to_string(http_->port()) +
                 (token_.empty() ? " (read-only: no control token)" : ""));
    }

    agent::ControlAnswer run_control(const agent::ControlRequest& request)
    {
        for (auto& line : lines_)
            if (const auto place = line->unit_place(request.unit))
                return line->controls().submit(*place, request, std::chrono::steady_clock::now() + kControlWait);
        agent::ControlAnswer unknown;
        unknown.kind = agent::ControlAnswer::Kind::UnknownUnit;
        unknown.message = "no unit named " + request.unit;
        return unknown;
    }

    const agent::SiteFile& site_;
    agent::AgentStats stats_;
    SharedStore store_;
    PluginLibrary plugin_;
    StopRequest stop_;
    agent::SiteState state_;
    std::string token_;
    std::unique_ptr<agent::Publisher> publisher_;
    std::vector<std::unique_ptr<LinePoller>> lines_;
    // Last in, first out: gone before the lines and the state it reads.
    std::unique_ptr<agent::HttpServer> http_;
};

}  // namespace

namespace {

// The broker check's answer has its own statuses (check_status), told in
// the one line it prints.
constexpr int kBrokerCheckTimeoutMs = 10000;

ExitStatus check_broker(const agent::SiteFile& site)
{
    if (!site.mqtt) throw agent::SiteFileError("the site file has no \"mqtt\" member: there is no broker to check");
    const agent::mqtt::CheckOutcome outcome = agent::mqtt::check_broker(*site.mqtt, site.site, kBrokerCheckTimeoutMs);
    program_output() << "qmhost: " << outcome.text << std::endl;
    return static_cast<ExitStatus>(outcome.status);
}

}  // namespace

ExitStatus run_serve(const CommandLine& c)
{
    const agent::SiteFile site = agent::read_site_file(c.site_file);
    if (c.check_broker) return check_broker(site);
    // Blocked before any thread starts, so every thread inherits it and the
    // signals come only to the owner's wait.
    StopSignals signals;
    const WholeLineCout whole_lines;
    SiteAgent agent(site, c.device.plugin.empty() ? default_plugin_path() : c.device.plugin);
    return agent.run(signals);
}
