// The agent's HTTP server (civetweb): the metrics, the API, the status page
// and controls. A fixed pool of worker threads, no keep-alive (a connection
// never holds a worker while idle), every request bounded in size and time,
// read-only unless a control token is configured.
#pragma once

#include "agent/control_request.hpp"
#include "agent/http_settings.hpp"
#include "agent/metrics.hpp"
#include "agent/site_state.hpp"
#include "agent/status_json.hpp"

#include <string>

struct mg_context;
struct mg_connection;

namespace agent {

struct HttpParts {
    HttpSettings settings;
    std::string token;  // empty: every control refused
    AgentFacts facts;
    const SiteState* state = nullptr;
    std::string store_path;
    ControlRunner control;
    MetricsHook metrics;
    StatusHook status;
};

class HttpServer {
public:
    // Worker threads: a scrape, a page or two and a control at once.
    static constexpr int kWorkerThreads = 4;
    // A request's headers and body arrive within this, or it is dropped.
    static constexpr int kRequestTimeoutMs = 5000;
    static constexpr std::size_t kMaxHeaderBytes = 8192;
    static constexpr std::size_t kMaxBodyBytes = 4096;

    // Listens at once; throws std::runtime_error with civetweb's reason
    // (the address taken, not an address of this machine).
    explicit HttpServer(HttpParts parts);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }

private:
    static int handle(mg_connection* connection, void* self);
    int route(mg_connection* connection);
    int control(mg_connection* connection, const std::string& unit);
    int history(mg_connection* connection, const std::string& unit, const char* query);
    int events(mg_connection* connection, const char* query);
    bool authorised(mg_connection* connection) const;

    HttpParts parts_;
    std::string token_digest_;
    mg_context* context_ = nullptr;
    int port_ = 0;
};

}  // namespace agent
