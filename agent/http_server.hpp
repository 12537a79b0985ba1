// The agent's HTTP server (libmicrohttpd): the metrics, the API, the status
// page and controls. One event loop (epoll, on the server's own thread)
// serves every connection, so a slow or idle client holds only its own
// connection, closed after kConnectionTimeoutS; connections are bounded per
// client address and in all. A control waits for its line on a worker
// thread with its connection suspended, never in the event loop. Every
// request is bounded in size; read-only unless a control token is configured.
#pragma once

#include "agent/control_request.hpp"
#include "agent/http_settings.hpp"
#include "agent/metrics.hpp"
#include "agent/site_state.hpp"
#include "agent/status_json.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace agent {

struct HttpSetup {
    HttpSettings settings;
    std::string token;  // empty: every control refused
    AgentFacts facts;
    const SiteState* state = nullptr;
    std::string store_path;
    ControlRunner control;
    MetricsHook metrics;
    StatusHook status;
};

// A request as the routes see it: read and bounded by the server, no socket.
struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;  // the first value of each name
    std::string authorization;                 // the Authorization header, empty when absent
    std::string remote_address;
    long long length = -1;                     // the Content-Length; -1 when absent or not a number
    std::string body;
};

// A request as it arrives, before the server reads it: its head's headers
// and query pairs in their order, its body whole.
struct RawHttpRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::pair<std::string, std::string>> query;
    std::string remote_address = "127.0.0.1";
    std::string body;
};

struct HttpAnswer {
    int status = 200;
    std::string type;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

class HttpServer {
public:
    // An idle connection, or a request whose head or body stalls, is closed
    // after this.
    static constexpr unsigned kConnectionTimeoutS = 4;
    // A scrape, a few pages and controls need a handful; one address may
    // not take the room the others need.
    static constexpr unsigned kMaxConnections = 256;
    static constexpr unsigned kMaxConnectionsPerAddress = 32;
    // A connection's memory: the request's head must fit, with room to answer.
    static constexpr std::size_t kMaxHeaderBytes = 8192;
    static constexpr std::size_t kMaxBodyBytes = 4096;
    static constexpr std::size_t kMaxQueryValueBytes = 255;
    // Controls waiting for their lines at once; more are answered 503.
    static constexpr int kControlWorkers = 2;
    static constexpr std::size_t kMaxWaitingControls = 16;

    // Listens at once; throws std::runtime_error saying why (the address
    // taken, not an address of this machine, a certificate unreadable).
    explicit HttpServer(HttpSetup setup);
    // Without a socket: the server's answers alone, through answer().
    struct Unlistened {};
    HttpServer(HttpSetup setup, Unlistened);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }

    // A request answered as one on a connection is: the head's checks, the
    // route, and a control run on the calling thread. Throws only what the
    // server would answer 500.
    HttpAnswer answer(const RawHttpRequest& raw);

    // What a request's head says beyond its path (the source file's).
    struct HeadFacts;

private:
    struct Exchange;
    struct Callbacks;  // libmicrohttpd's, in the source file
    friend struct Callbacks;
    struct ControlJob {
        MHD_Connection* connection;
        Exchange* exchange;
        ControlRequest request;
    };
    void know_this_agent();
    bool answer_before_body(MHD_Connection* connection, Exchange& exchange);
    std::optional<HttpAnswer> answer_head(const HttpRequest& request, const HeadFacts& facts);
    ControlAnswer run_control(const ControlRequest& request);
    void answer_in_full(MHD_Connection* connection, Exchange& exchange);
    HttpAnswer route(const HttpRequest& request);
    std::optional<HttpAnswer> control_refusal(const HttpRequest& request) const;
    std::optional<HttpAnswer> read_control(const HttpRequest& request, ControlRequest& control) const;
    void queue_control(MHD_Connection* connection, Exchange& exchange, ControlRequest control);
    HttpAnswer history(const HttpRequest& request, const std::string& unit);
    HttpAnswer events(const HttpRequest& request);
    bool authorised(const HttpRequest& request) const;
    bool host_names_this_agent(const std::string& host) const;
    void say_timed_out(MHD_Connection* connection) const;
    void run_controls();
    void stop_control_workers();

    HttpSetup setup_;
    std::string token_digest_;
    std::vector<std::string> host_names_;  // lower case, without port
    std::string certificate_, key_;        // PEM, kept while the server runs
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;

    std::mutex controls_mutex_;
    std::condition_variable controls_ready_;
    std::deque<ControlJob> controls_;
    bool stopping_ = false;
    bool starting_ = true;       // libmicrohttpd's reasons are kept until it has started
    std::string start_errors_;
    std::vector<std::thread> workers_;
};

}  // namespace agent
