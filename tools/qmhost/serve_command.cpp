// qmhost serve: the site agent. One owner starts its parts in a known order
// (the store, the drivers, then one poller thread per line) and stops them
// in the reverse one: no part is global, and each is gone before what it
// uses.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/line_poller.hpp"
#include "tools/qmhost/plugin_library.hpp"
#include "tools/qmhost/stop_signals.hpp"
#include "tools/qmhost/whole_lines.hpp"

#include "agent/events.hpp"
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
    settings.warn = [](const std::string& line) { log_line(agent::iso8601_utc_ms(agent::utc_now_ms()) + " " + line); };
    return settings;
}

// The store, written by every line's thread in turn: one connection behind
// one lock, held for a commit (one WAL sync, a few ms). A line may wait for
// other lines' commits, never for their Modbus requests.
class SharedStore {
public:
    explicit SharedStore(const agent::SiteFile& site) : store_(site.store.path, store_settings(site)) {}

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
        store_.commit_cycle(cycle);
        for (const agent::NewEvent& event : cycle.events) log_line(event_line(event));
    }

    void write_agent_event(const char* kind, const std::string& site_hash)
    {
        agent::Cycle cycle;
        cycle.time_ms = agent::utc_now_ms();
        cycle.events.push_back({"", cycle.time_ms, kind, agent::agent_detail(QM_VERSION, site_hash)});
        write(cycle);
    }

private:
    std::mutex lock_;
    agent::Store store_;
};

class SiteAgent {
public:
    SiteAgent(const agent::SiteFile& site, const std::string& plugin_path)
        : site_(site), store_(site), plugin_(plugin_path)
    {
        const agent::ResumeState resume = store_.resume_state();
        for (std::size_t i = 0; i < site.lines.size(); ++i)
            lines_.push_back(std::make_unique<LinePoller>(plugin_, site.lines[i], i, resume, stop_,
                                                          [this](const agent::Cycle& c) { store_.write(c); }));
    }

    // Until a stop signal, every line polled on its own thread; kFailed
    // when a line's poller could not go on.
    ExitStatus run(StopSignals& signals)
    {
        set_link_stop_check([this] { return stop_.requested(); });
        store_.write_agent_event(agent::event_kind::kAgentStarted, site_.hash);
        for (auto& line : lines_) line->start();
        while (!signals.wait_for(std::chrono::milliseconds(200)) && !stop_.requested()) {
        }
        stop_.request();
        for (auto& line : lines_) line->join();
        store_.write_agent_event(agent::event_kind::kAgentStopped, site_.hash);
        set_link_stop_check({});
        const std::string failure = stop_.failure();
        if (failure.empty()) return ExitStatus::kOk;
        log_line(failure);
        return ExitStatus::kFailed;
    }

private:
    const agent::SiteFile& site_;
    SharedStore store_;
    PluginLibrary plugin_;
    StopRequest stop_;
    std::vector<std::unique_ptr<LinePoller>> lines_;
};

}  // namespace

ExitStatus run_serve(const CommandLine& c)
{
    const agent::SiteFile site = agent::read_site_file(c.site_file);
    // Blocked before any thread starts, so every thread inherits it and the
    // signals come only to the owner's wait.
    StopSignals signals;
    const WholeLineCout whole_lines;
    SiteAgent agent(site, c.device.plugin.empty() ? default_plugin_path() : c.device.plugin);
    return agent.run(signals);
}
