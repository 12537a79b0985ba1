#include "agent/site_agent.hpp"

#include "agent/agent_log.hpp"
#include "agent/events.hpp"
#include "agent/metrics.hpp"
#include "agent/start_checks.hpp"
#include "agent/status_json.hpp"
#include "agent/time_text.hpp"
#include "agent/unit_values.hpp"
#include "host/libmodbus_link.hpp"

#include <algorithm>
#include <chrono>
#include <map>

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
Json::Value record_summary(const StoredRecord& record, const ShownKeys& keys)
{
    Json::Value summary = record_summary_json(record, keys);
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
    std::map<std::string, ShownKeys> unit_keys;
    for (const SiteLine& line : site.lines)
        for (const SiteUnit& unit : line.units) unit_keys.emplace(unit.name, unit.keys);
    setup.summarize = [unit_keys](const StoredRecord& r) {
        const auto keys = unit_keys.find(r.unit);
        return record_summary(r, keys == unit_keys.end() ? all_shown_keys() : keys->second);
    };
    setup.log = log_stamped;
    return std::make_unique<Publisher>(std::move(setup), store, stats);
}

// Without "notify" the store keeps no mark: one added later starts from the
// newest event then, rather than telling what came while it was away.
std::unique_ptr<Notifier> make_notifier(const SiteFile& site, SharedStore& store)
{
    if (!site.notify) {
        if (store.notified_mark()) store.set_notified_mark(std::nullopt);
        return nullptr;
    }
    NotifierSetup setup;
    setup.settings = *site.notify;
    setup.site = site.site;
    for (const SiteLine& line : site.lines)
        for (const SiteUnit& unit : line.units) setup.alarm_modes.emplace(unit.name, alarm_code_mode(unit.settings));
    setup.settle_ms = site.store.commit_interval_ms + 500;
    setup.log = log_stamped;
    return std::make_unique<Notifier>(std::move(setup), store);
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
            snapshot.keys = unit.keys;
            units.push_back(std::move(snapshot));
        }
    return units;
}

// What the machine must give the site, refused before the store is made:
// told now rather than as a line's first failure, since the fix is the
// machine's (a folder, a group).
const SiteFile& machine_checked(const SiteFile& site)
{
    usable_store_folder(site.store.path);
    for (const SiteLine& line : site.lines)
        if (line.link.kind == LinkSettings::Kind::Rtu) serial_device_problem(line.link.device);
    return site;
}

}  // namespace

SiteAgent::SiteAgent(const SiteFile& site, const std::string& plugin_path)
    : site_(machine_checked(site)), store_lock_(site.store.path),
      store_(telling_warnings(site.store), stats_, log_line), plugin_(plugin_path),
      state_(site_units(site)), publisher_(make_publisher(site, store_, stats_)),
      notifier_(make_notifier(site, store_))
{
    // A token file that cannot be read stops the agent before it starts.
    if (site.http.enabled && !site.http.control_token_file.empty())
        token_ = read_control_token(site.http.control_token_file);
    // Rows reach the publisher's and the notifier's readers once committed.
    if (publisher_ || notifier_)
        store_.on_commit([this] {
            if (publisher_) publisher_->wake();
            if (notifier_) notifier_->wake();
        });
    const ResumeState resume = store_.resume_state();
    std::size_t first_unit = 0;
    for (std::size_t i = 0; i < site.lines.size(); ++i) {
        lines_.push_back(make_line(i, resume, first_unit));
        first_unit += site.lines[i].units.size();
    }
}

std::shared_ptr<LinePoller> SiteAgent::make_line(std::size_t index, const ResumeState& resume, std::size_t first_unit)
{
    auto line = std::make_shared<LinePoller>(plugin_, site_.lines[index], index, resume, stop_,
                                             [this](const Cycle& c) { write(c); });
    line->show_state_in(state_, first_unit);
    return line;
}

ExitStatus SiteAgent::run(StopSignals& signals)
{
    set_link_stop_check([this] { return stop_.requested() || LinePoller::this_line_stopping(); });
    const int64_t started_ms = utc_now_ms();
    if (site_.http.enabled) start_http(started_ms);
    if (publisher_) publisher_->start();
    if (notifier_) notifier_->start();
    write_agent_event(event_kind::kAgentStarted);
    for (auto& line : lines_) line->start();
    while (!signals.wait_for(std::chrono::milliseconds(200)) && !stop_.requested()) {
        if (signals.reopen_requested() && reread_) reload();
    }
    stop_.request();
    // Controls still waiting are answered, then the server waits for its requests.
    for (auto& line : lines_)
        if (line) line->controls().close();
    http_.reset();
    for (auto& line : lines_)
        if (line) line->join();
    write_agent_event(event_kind::kAgentStopped);
    // Every cycle handed in is committed before the stop.
    store_.flush();
    // What is stored by now is told, for a bounded time.
    if (notifier_) notifier_->stop();
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

void SiteAgent::write_agent_event(const char* kind) { write_event(kind, agent_detail(QM_VERSION, site_.hash)); }

void SiteAgent::write_event(const char* kind, const Json::Value& detail)
{
    Cycle cycle;
    cycle.time_ms = utc_now_ms();
    cycle.events.push_back({"", cycle.time_ms, kind, detail});
    store_.write(cycle);
    if (publisher_) publisher_->wake();
}

// ---------------------------------------------------------------- reload

namespace {

// What the running agent holds open for the whole run: a change needs a restart.
constexpr const char* kRestartMembers[] = {"site", "store", "http", "mqtt", "notify"};

bool same_line(const SiteLine& a, const SiteLine& b)
{
    if (!(link_settings_json(a.link) == link_settings_json(b.link)) || a.interval_s != b.interval_s ||
        a.units.size() != b.units.size())
        return false;
    for (std::size_t u = 0; u < a.units.size(); ++u) {
        const SiteUnit& x = a.units[u];
        const SiteUnit& y = b.units[u];
        if (x.slave != y.slave || x.name != y.name || x.device_id != y.device_id || !(x.settings == y.settings))
            return false;
    }
    return true;
}

}  // namespace

// A line polls on only when it is the same line at the same place, its
// units at the same places in the site (the HTTP side's view is by place).
std::vector<std::size_t> SiteAgent::lines_to_restart(const SiteFile& next) const
{
    std::vector<std::size_t> restart;
    bool same_places = true;
    for (std::size_t l = 0; l < next.lines.size(); ++l) {
        const bool kept = same_places && l < site_.lines.size() && same_line(site_.lines[l], next.lines[l]);
        if (!kept) restart.push_back(l);
        if (l >= site_.lines.size() || site_.lines[l].units.size() != next.lines[l].units.size()) same_places = false;
    }
    return restart;
}

void SiteAgent::reload()
{
    SiteFile next;
    std::vector<std::size_t> restart;
    try {
        next = reread_();
        for (const char* member : kRestartMembers)
            if (!(next.document[member] == site_.document[member]))
                throw SiteFileError(std::string("\"") + member + "\" changed: the agent must be restarted to take it");
        restart = lines_to_restart(next);
        // The new lines' drivers made once before any line stops, so one that
        // refuses its settings refuses the file; made again below, with the
        // store's resume state as the stopped lines left it.
        const ResumeState resume = store_.resume_state();
        for (std::size_t l : restart) {
            if (next.lines[l].link.kind == LinkSettings::Kind::Rtu) serial_device_problem(next.lines[l].link.device);
            LinePoller(plugin_, next.lines[l], l, resume, stop_, [](const Cycle&) {});
        }
    } catch (const std::exception& e) {
        log_line(std::string("site file not reloaded, the agent goes on as it was: ") + e.what());
        write_event(event_kind::kReloadRefused, reload_refused_detail(site_.hash, e.what()));
        return;
    }
    std::vector<std::shared_ptr<LinePoller>> stopping;
    {
        std::lock_guard<std::mutex> hold(lines_lock_);
        for (std::size_t l : restart)
            if (l < lines_.size()) stopping.push_back(lines_[l]);
        for (std::size_t l = next.lines.size(); l < lines_.size(); ++l) stopping.push_back(lines_[l]);
    }
    for (auto& line : stopping) line->stop();
    for (auto& line : stopping) line->join();

    std::vector<bool> kept_units;
    for (std::size_t l = 0; l < next.lines.size(); ++l) {
        const bool kept = std::find(restart.begin(), restart.end(), l) == restart.end();
        kept_units.insert(kept_units.end(), next.lines[l].units.size(), kept);
    }
    std::vector<std::shared_ptr<LinePoller>> lines(next.lines.size());
    {
        std::lock_guard<std::mutex> hold(lines_lock_);
        for (std::size_t l = 0; l < next.lines.size(); ++l)
            if (std::find(restart.begin(), restart.end(), l) == restart.end()) lines[l] = lines_[l];
    }
    // Only what a reload may change: the HTTP side reads the rest meanwhile.
    site_.lines = std::move(next.lines);
    site_.hash = next.hash;
    site_.document = std::move(next.document);
    state_.relay(site_units(site_), kept_units);
    try {
        const ResumeState resume = store_.resume_state();
        std::size_t first_unit = 0;
        for (std::size_t l = 0; l < site_.lines.size(); ++l) {
            if (!lines[l]) {
                lines[l] = make_line(l, resume, first_unit);
                lines[l]->start();
            }
            first_unit += site_.lines[l].units.size();
        }
    } catch (const std::exception& e) {
        stop_.fail(std::string("a reloaded line could not start: ") + e.what());
    }
    {
        std::lock_guard<std::mutex> hold(lines_lock_);
        lines_ = std::move(lines);
    }
    log_line("site file reloaded (" + std::to_string(restart.size()) + " of " + std::to_string(site_.lines.size()) +
             " lines restarted)");
    write_event(event_kind::kSiteReloaded, site_reloaded_detail(site_.hash, restart));
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
    std::vector<std::shared_ptr<LinePoller>> lines;
    {
        std::lock_guard<std::mutex> hold(lines_lock_);
        lines = lines_;
    }
    for (auto& line : lines)
        if (line)
            if (const auto place = line->unit_place(request.unit))
                return line->controls().submit(*place, request, std::chrono::steady_clock::now() + kControlWait);
    ControlAnswer unknown;
    unknown.kind = ControlAnswer::Kind::UnknownUnit;
    unknown.message = "no unit named " + request.unit;
    return unknown;
}

}  // namespace agent
