#include "agent/site_agent.hpp"

#include "agent/agent_log.hpp"
#include "agent/events.hpp"
#include "agent/metrics.hpp"
#include "agent/status_json.hpp"
#include "agent/time_text.hpp"
#include "agent/unit_values.hpp"
#include "host/libmodbus_link.hpp"

#include <chrono>

namespace agent {
namespace {

// A control waits this long for its line to finish the cycle in hand.
constexpr auto kControlWait = std::chrono::seconds(20);

StoreSettings telling_warnings(StoreSettings settings)
{
    settings.warn = log_stamped;
    return settings;
}

// What a record message and a unit's retained status carry as "summary":
// the values and active alarms the status view shows, under the same keys.
Json::Value record_summary(const StoredRecord& record)
{
    Json::Value summary = record_summary_json(record);
    for (const char* told_beside : {"seq", "time", "local_time"}) summary.removeMember(told_beside);
    return summary;
}

std::unique_ptr<Publisher> make_publisher(const SiteFile& site, SharedStore& store, AgentStats& stats)
{
    if (!site.mqtt) return nullptr;
    PublisherSetup setup;
    setup.mqtt = *site.mqtt;
    setup.site = site.site;
    setup.store_path = site.store.path;
    setup.store_id = store.store_id();
    setup.version = QM_VERSION;
    setup.summarize = record_summary;
    setup.log = log_stamped;
    return std::make_unique<Publisher>(std::move(setup), store, stats);
}

// Each unit as the HTTP server first sees it: its place, nothing polled yet.
std::vector<UnitSnapshot> site_units(const SiteFile& site)
{
    std::vector<UnitSnapshot> units;
    for (std::size_t l = 0; l < site.lines.size(); ++l)
        for (const SiteUnit& unit : site.lines[l].units) {
            UnitSnapshot snapshot;
            snapshot.name = unit.name;
            snapshot.line = l;
            snapshot.slave = unit.slave;
            snapshot.device_id = unit.device_id;
            snapshot.interval_s = site.lines[l].interval_s;
            snapshot.alarm_mode = alarm_code_mode(unit.settings);
            units.push_back(std::move(snapshot));
        }
    return units;
}

}  // namespace

SiteAgent::SiteAgent(const SiteFile& site, const std::string& plugin_path)
    : site_(site), store_lock_(site.store.path), store_(telling_warnings(site.store), stats_, log_line), plugin_(plugin_path),
      state_(site_units(site)), publisher_(make_publisher(site, store_, stats_))
{
    // A token file that cannot be read stops the agent before it starts.
    if (site.http.enabled && !site.http.control_token_file.empty())
        token_ = read_control_token(site.http.control_token_file);
    // Rows reach the publisher's reader once committed.
    if (publisher_) store_.on_commit([this] { publisher_->wake(); });
    const ResumeState resume = store_.resume_state();
    std::size_t first_unit = 0;
    for (std::size_t i = 0; i < site.lines.size(); ++i) {
        lines_.push_back(std::make_unique<LinePoller>(plugin_, site.lines[i], i, resume, stop_,
                                                      [this](const Cycle& c) { write(c); }));
        lines_.back()->show_state_in(state_, first_unit);
        first_unit += site.lines[i].units.size();
    }
}

ExitStatus SiteAgent::run(StopSignals& signals)
{
    set_link_stop_check([this] { return stop_.requested(); });
    const int64_t started_ms = utc_now_ms();
    if (site_.http.enabled) start_http(started_ms);
    if (publisher_) publisher_->start();
    write_agent_event(event_kind::kAgentStarted);
    for (auto& line : lines_) line->start();
    while (!signals.wait_for(std::chrono::milliseconds(200)) && !stop_.requested()) {
    }
    stop_.request();
    // Controls still waiting are answered, then the server waits for its requests.
    for (auto& line : lines_) line->controls().close();
    http_.reset();
    for (auto& line : lines_) line->join();
    write_agent_event(event_kind::kAgentStopped);
    // Every cycle handed in is committed before the stop.
    store_.flush();
    store_.on_commit({});
    if (publisher_) publisher_->stop();
    set_link_stop_check({});
    const std::string failure = stop_.failure();
    if (failure.empty()) return ExitStatus::kOk;
    log_line(failure);
    return ExitStatus::kFailed;
}

void SiteAgent::write(const Cycle& cycle)
{
    store_.write(cycle);
}

void SiteAgent::write_agent_event(const char* kind)
{
    Cycle cycle;
    cycle.time_ms = utc_now_ms();
    cycle.events.push_back({"", cycle.time_ms, kind, agent_detail(QM_VERSION, site_.hash)});
    store_.write(cycle);
}

void SiteAgent::start_http(int64_t started_ms)
{
    HttpSetup setup;
    setup.settings = site_.http;
    setup.token = token_;
    setup.facts = {site_.site, QM_VERSION, started_ms, !token_.empty()};
    setup.state = &state_;
    setup.store_path = site_.store.path;
    setup.control = [this](const ControlRequest& request) { return run_control(request); };
    if (publisher_)
        setup.metrics = [this](std::string& out) { render_agent_metrics(site_.site, stats_.snapshot(), out); };
    http_ = std::make_unique<HttpServer>(std::move(setup));
    log_line("serving HTTP on " + site_.http.address + ":" + std::to_string(http_->port()) +
             (token_.empty() ? " (read-only: no control token)" : ""));
}

ControlAnswer SiteAgent::run_control(const ControlRequest& request)
{
    for (auto& line : lines_)
        if (const auto place = line->unit_place(request.unit))
            return line->controls().submit(*place, request, std::chrono::steady_clock::now() + kControlWait);
    ControlAnswer unknown;
    unknown.kind = ControlAnswer::Kind::UnknownUnit;
    unknown.message = "no unit named " + request.unit;
    return unknown;
}

}  // namespace agent
