// The site agent: one owner starts its parts in a known order (the store,
// the drivers, the HTTP server, the publisher, the notifier, then one poller thread per
// line) and stops them in the reverse one: no part is global, and each is
// gone before what it uses.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/control_request.hpp"
#include "agent/http_server.hpp"
#include "agent/line_poller.hpp"
#include "agent/notifier.hpp"
#include "agent/publisher.hpp"
#include "agent/shared_store.hpp"
#include "agent/site_file.hpp"
#include "agent/site_state.hpp"
#include "agent/store_lock.hpp"
#include "hosting/exit_status.hpp"
#include "hosting/plugin_library.hpp"
#include "hosting/stop_signals.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace agent {

class SiteAgent {
public:
    // Opens the store, loads the plug-in and makes every unit's driver;
    // throws StoreInUse when another agent holds the store, SiteFileError
    // naming a unit whose settings its driver refused, StoreError, or
    // std::runtime_error (the plug-in, the token file).
    SiteAgent(const SiteFile& site, const std::string& plugin_path);

    // Until a stop signal, every line polled on its own thread; kFailed
    // when a line's poller could not go on.
    ExitStatus run(StopSignals& signals);

    // How a SIGHUP reads the site file again (read_site_file); none: SIGHUP
    // changes nothing.
    void reload_with(std::function<SiteFile()> reread) { reread_ = std::move(reread); }

    // The site file read again and checked; refused (said in a log line and
    // a reload_refused event) it changes nothing. Taken, the lines whose
    // link, interval or units changed, or whose units moved to other places
    // in the site, restart; the others poll on. The store, the HTTP side and
    // the broker stay: a change to "site", "store", "http", "mqtt" or
    // "notify" is refused as needing a restart.
    void reload();

private:
    void write(const Cycle& cycle);
    void start_http(int64_t started_ms);
    void write_agent_event(const char* kind);
    void write_event(const char* kind, const Json::Value& detail);
    std::shared_ptr<LinePoller> make_line(std::size_t index, const ResumeState& resume, std::size_t first_unit);
    std::vector<std::size_t> lines_to_restart(const SiteFile& next) const;
    ControlAnswer run_control(const ControlRequest& request);

    SiteFile site_;
    std::function<SiteFile()> reread_;
    // First in, last out: nothing of the store is opened before it is ours.
    StoreLock store_lock_;
    AgentStats stats_;
    SharedStore store_;
    PluginLibrary plugin_;
    StopRequest stop_;
    SiteState state_;
    std::string token_;
    std::unique_ptr<Publisher> publisher_;
    std::unique_ptr<Notifier> notifier_;
    // Replaced by a reload while the HTTP side looks up a unit's line.
    std::mutex lines_lock_;
    std::vector<std::shared_ptr<LinePoller>> lines_;
    // Last in, first out: gone before the lines and the state it reads.
    std::unique_ptr<HttpServer> http_;
};

}  // namespace agent
