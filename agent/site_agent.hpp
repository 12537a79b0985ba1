// The site agent: one owner starts its parts in a known order (the store,
// the drivers, the HTTP server, the publisher, then one poller thread per
// line) and stops them in the reverse one: no part is global, and each is
// gone before what it uses.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/control_request.hpp"
#include "agent/http_server.hpp"
#include "agent/line_poller.hpp"
#include "agent/publisher.hpp"
#include "agent/shared_store.hpp"
#include "agent/site_file.hpp"
#include "agent/site_state.hpp"
#include "agent/store_lock.hpp"
#include "hosting/exit_status.hpp"
#include "hosting/plugin_library.hpp"
#include "hosting/stop_signals.hpp"

#include <cstdint>
#include <memory>
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

private:
    void write(const Cycle& cycle);
    void start_http(int64_t started_ms);
    void write_agent_event(const char* kind);
    ControlAnswer run_control(const ControlRequest& request);

    const SiteFile& site_;
    // First in, last out: nothing of the store is opened before it is ours.
    StoreLock store_lock_;
    AgentStats stats_;
    SharedStore store_;
    PluginLibrary plugin_;
    StopRequest stop_;
    SiteState state_;
    std::string token_;
    std::unique_ptr<Publisher> publisher_;
    std::vector<std::unique_ptr<LinePoller>> lines_;
    // Last in, first out: gone before the lines and the state it reads.
    std::unique_ptr<HttpServer> http_;
};

}  // namespace agent
