#include "agent/http_server.hpp"

#include "agent/page_assets.hpp"
#include "agent/start_checks.hpp"
#include "agent/secret_file.hpp"
#include "base/sha256.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/time_text.hpp"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace agent {
namespace {

// Rows one history or events answer carries at most; a page asks again
// from where it stopped.
constexpr int64_t kMaxHistoryRows = 5000;
constexpr int64_t kMaxEventRows = 1000;
constexpr int64_t kDefaultEventRows = 200;
// The page's trends: one point per this many seconds at the finest.
constexpr int64_t kMaxStepS = 3600;
// The page loads only its own files and is never framed by another site's.
constexpr const char* kContentSecurityPolicy = "default-src 'self'; frame-ancestors 'none'";
// A certificate or key file larger than this is not one.
constexpr std::size_t kMaxPemBytes = 64 * 1024;

HttpAnswer json_answer(int status, const Json::Value& body) { return {status, "application/json", json_text(body) + "\n", {}}; }

HttpAnswer error_answer(int status, const std::string& why, std::vector<std::pair<std::string, std::string>> headers = {})
{
    Json::Value body(Json::objectValue);
    body["error"] = why;
    HttpAnswer answer = json_answer(status, body);
    answer.headers = std::move(headers);
    return answer;
}

std::optional<std::string> query_value(const HttpRequest& request, const char* name)
{
    const auto found = request.query.find(name);
    if (found == request.query.end()) return std::nullopt;
    return found->second;
}

// A time parameter: absent, or ISO 8601 (time_text.hpp); false when malformed.
bool query_time(const HttpRequest& request, const char* name, std::optional<int64_t>& ms)
{
    const auto text = query_value(request, name);
    if (!text) return true;
    ms = parse_iso8601_ms(*text);
    return ms.has_value();
}

bool query_integer(const HttpRequest& request, const char* name, int64_t low, int64_t high, int64_t& value)
{
    const auto text = query_value(request, name);
    if (!text) return true;
    if (text->empty() || text->size() > 18 || text->find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoll(*text);
    return value >= low && value <= high;
}

// keys=KEY,...: value keys of the table; absent: `keys` as they are.
bool query_keys(const HttpRequest& request, ShownKeys& keys)
{
    const auto text = query_value(request, "keys");
    if (!text) return true;
    keys.reset();
    for (std::size_t start = 0; start <= text->size();) {
        const std::size_t end = std::min(text->find(',', start), text->size());
        const std::optional<std::size_t> place = shown_key_place(text->substr(start, end - start));
        if (!place) return false;
        keys.set(*place);
        start = end + 1;
    }
    return true;
}

std::string digest(const std::string& token) { return sha256_hex(token); }

// Digests of equal length, compared without stopping at the first
// difference: the time taken tells nothing of the token.
bool same_digest(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// "/api/units/NAME/WHAT": NAME, when the path has that shape.
std::optional<std::string> unit_in_path(const std::string& path, const std::string& what)
{
    const std::string prefix = "/api/units/", suffix = "/" + what;
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    std::string name = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (name.find('/') != std::string::npos) return std::nullopt;
    return name;
}

int control_status(const ControlAnswer& answer)
{
    switch (answer.kind) {
    case ControlAnswer::Kind::Done:
        return 200;
    case ControlAnswer::Kind::UnknownUnit:
        return 404;
    case ControlAnswer::Kind::Busy:
    case ControlAnswer::Kind::Stopping:
        return 503;
    case ControlAnswer::Kind::TimedOut:
        break;
    }
    return 504;
}

HttpAnswer control_answer(const ControlRequest& r, const ControlAnswer& answer)
{
    Json::Value reply(Json::objectValue);
    reply["unit"] = r.unit;
    reply["code"] = r.code;
    if (answer.kind == ControlAnswer::Kind::Done) {
        reply["exit_status"] = answer.exit_status;
        reply["handed"] = answer.handed;
        reply["wrote"] = answer.wrote;
        reply["result"] = answer.result ? Json::Value(*answer.result) : Json::Value();
    }
    reply["message"] = answer.message;
    return json_answer(control_status(answer), reply);
}

std::string client_address(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (!info || !info->client_addr) return "?";
    if (info->client_addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text, sizeof text);
    else if (info->client_addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr, text, sizeof text);
    return text;
}

}  // namespace

// What the head says beyond the path, counted where one of a kind is the rule.
struct HttpServer::HeadFacts {
    HttpRequest* request = nullptr;
    int hosts = 0;
    int lengths = 0;
    int authorizations = 0;
    std::string host;
    bool query_too_long = false;
};

namespace {

using HeadFacts = HttpServer::HeadFacts;

MHD_Result note_header(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    auto& facts = *static_cast<HeadFacts*>(cls);
    if (!key) return MHD_YES;
    const std::string text = value ? value : "";
    if (strcasecmp(key, "Host") == 0) {
        ++facts.hosts;
        facts.host = text;
    } else if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
        ++facts.lengths;
        const bool digits = !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
        facts.request->length = digits ? std::stoll(text) : -1;
    } else if (strcasecmp(key, MHD_HTTP_HEADER_AUTHORIZATION) == 0) {
        ++facts.authorizations;
        facts.request->authorization = text;
    }
    return MHD_YES;
}

MHD_Result note_query_value(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    auto& facts = *static_cast<HeadFacts*>(cls);
    if (!key) return MHD_YES;
    const std::string text = value ? value : "";
    if (text.size() > HttpServer::kMaxQueryValueBytes || std::strlen(key) > HttpServer::kMaxQueryValueBytes) {
        facts.query_too_long = true;
        return MHD_NO;
    }
    facts.request->query.emplace(key, text);
    return MHD_YES;
}

MHD_Result queue(MHD_Connection* connection, const HttpAnswer& answer)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY, kContentSecurityPolicy);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

// A certificate is public: read with a bound, not as a secret.
std::string read_pem_file(const std::string& file, std::size_t longest)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    std::string text(longest + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (static_cast<std::size_t>(in.gcount()) > longest)
        throw std::runtime_error(file + " is larger than " + std::to_string(longest) + " bytes");
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::string read_tls_file(const std::string& file, std::string (*read)(const std::string&, std::size_t))
{
    try {
        return read(file, kMaxPemBytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("http.tls: ") + e.what());
    }
}

}  // namespace

// One request's state between libmicrohttpd's calls: its head read once, its
// body gathered, and the answer a control worker left for it.
struct HttpServer::Exchange {
    HttpRequest request;
    enum class Stage { Head, Body, Waiting, Answered } stage = Stage::Head;
    HttpAnswer answer;
};

struct HttpServer::Callbacks {
    static MHD_Result request(void* self, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char* upload, std::size_t* upload_size, void** context)
    {
        auto& server = *static_cast<HttpServer*>(self);
        try {
            if (!*context) *context = new Exchange;
            auto& exchange = *static_cast<Exchange*>(*context);
            if (exchange.stage == Exchange::Stage::Head) {
                exchange.request.method = method;
                exchange.request.path = url;
                exchange.stage = Exchange::Stage::Body;
                server.answer_before_body(connection, exchange);
                return MHD_YES;
            }
            if (exchange.stage == Exchange::Stage::Body && *upload_size != 0) {
                const std::size_t room = kMaxBodyBytes - std::min(kMaxBodyBytes, exchange.request.body.size());
                exchange.request.body.append(upload, std::min(room, *upload_size));
                *upload_size = 0;
                return MHD_YES;
            }
            if (exchange.stage == Exchange::Stage::Body) server.answer_in_full(connection, exchange);
            if (exchange.stage == Exchange::Stage::Answered) return queue(connection, exchange.answer);
            return MHD_YES;
        } catch (const std::exception& e) {
            return queue(connection, error_answer(500, e.what()));
        }
    }

    // libmicrohttpd's reasons, kept while the server starts (a start that
    // fails says why); later ones would fill the journal under a flood, and
    // every answer already says why.
    static void log(void* self, const char* format, va_list arguments)
    {
        auto& server = *static_cast<HttpServer*>(self);
        char line[256];
        std::vsnprintf(line, sizeof line, format, arguments);
        std::lock_guard<std::mutex> lock(server.controls_mutex_);
        if (!server.starting_ || server.start_errors_.size() > 1024) return;
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '.')) text.pop_back();
        server.start_errors_ += (server.start_errors_.empty() ? "" : "; ") + text;
    }

    // A request's state begins with its first line, so that a request whose
    // head or body then stalls is seen when it times out.
    static void* begin(void*, const char*, MHD_Connection*) { return new Exchange; }

    static void completed(void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode why)
    {
        const std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
        *context = nullptr;
        if (why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED && exchange && exchange->stage != Exchange::Stage::Answered)
            static_cast<HttpServer*>(self)->say_timed_out(connection);
    }
};

HttpServer::HttpServer(HttpSetup setup, Unlistened) : setup_(std::move(setup))
{
    know_this_agent();
    port_ = setup_.settings.port;
}

HttpServer::HttpServer(HttpSetup setup) : setup_(std::move(setup))
{
    know_this_agent();
    const HttpSettings& s = setup_.settings;

    const std::string listen = s.address + ":" + std::to_string(s.port);
    const bool ipv6 = !s.address.empty() && s.address.front() == '[';
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* where = nullptr;
    if (ipv6) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(s.port));
        if (inet_pton(AF_INET6, s.address.substr(1, s.address.size() - 2).c_str(), &v6.sin6_addr) == 1)
            where = reinterpret_cast<const sockaddr*>(&v6);
    } else {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(s.port));
        if (inet_pton(AF_INET, s.address.c_str(), &v4.sin_addr) == 1) where = reinterpret_cast<const sockaddr*>(&v4);
    }
    if (!where) throw std::runtime_error("cannot serve HTTP on " + listen + ": not an IP address");

    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (ipv6) flags |= MHD_USE_IPv6;
    const bool tls = !s.tls_certificate.empty();
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Callbacks::log), this},
        {MHD_OPTION_SOCK_ADDR, 0, const_cast<sockaddr*>(where)},
        {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kMaxHeaderBytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Callbacks::begin), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Callbacks::completed), this},
    };
    if (tls) {
        flags |= MHD_USE_TLS;
        certificate_ = read_tls_file(s.tls_certificate, read_pem_file);
        key_ = read_tls_file(s.tls_key, read_secret_file);
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, certificate_.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, key_.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    for (int i = 0; i < kControlWorkers; ++i) workers_.emplace_back([this] { run_controls(); });
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Callbacks::request, this, MHD_OPTION_ARRAY, options.data(),
                               MHD_OPTION_END);
    {
        std::lock_guard<std::mutex> lock(controls_mutex_);
        starting_ = false;
    }
    if (!daemon_) {
        stop_control_workers();
        check_http_port_free(s.address, s.port);  // the likely cause, told with its fix
        throw std::runtime_error("cannot serve HTTP on " + listen + ": " +
                                 (start_errors_.empty() ? "the server did not start" : start_errors_));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : s.port;
}

HttpServer::~HttpServer()
{
    stop_control_workers();
    if (daemon_) MHD_stop_daemon(daemon_);
}

void HttpServer::know_this_agent()
{
    if (!setup_.token.empty()) token_digest_ = digest(setup_.token);
    const HttpSettings& s = setup_.settings;
    host_names_ = {"localhost", "127.0.0.1", "[::1]", lower(s.address)};
    for (const std::string& name : s.hosts) host_names_.push_back(lower(name));
}

// Controls still waiting are answered "stopping" and their connections
// resumed: the server may not stop with one suspended.
void HttpServer::stop_control_workers()
{
    {
        std::lock_guard<std::mutex> lock(controls_mutex_);
        stopping_ = true;
    }
    controls_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

// libmicrohttpd closes a request that stalls without a word; over plain
// HTTP the client is told why, on the socket it still has, before the close.
void HttpServer::say_timed_out(MHD_Connection* connection) const
{
    if (!setup_.settings.tls_certificate.empty()) return;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return;
    const std::string body = "{\"error\":\"the request did not arrive within " + std::to_string(kConnectionTimeoutS) +
                             " s\"}\n";
    const std::string bytes = "HTTP/1.1 408 Request Timeout\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nContent-Security-Policy: " +
                              kContentSecurityPolicy + "\r\nConnection: close\r\n\r\n" + body;
    (void)::send(info->connect_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool HttpServer::host_names_this_agent(const std::string& host) const
{
    std::string name = lower(host);
    const std::string port = ":" + std::to_string(port_);
    if (name.size() > port.size() && name.compare(name.size() - port.size(), port.size(), port) == 0)
        name.resize(name.size() - port.size());
    return std::find(host_names_.begin(), host_names_.end(), name) != host_names_.end();
}

bool HttpServer::answer_before_body(MHD_Connection* connection, Exchange& exchange)
{
    HttpRequest& request = exchange.request;
    HeadFacts facts;
    facts.request = &request;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, note_header, &facts);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, note_query_value, &facts);
    request.remote_address = client_address(connection);
    std::optional<HttpAnswer> answer = answer_head(request, facts);
    if (!answer) return false;  // the body comes next
    exchange.answer = std::move(*answer);
    exchange.stage = Exchange::Stage::Answered;
    queue(connection, exchange.answer);
    return true;
}

// The answer to a request from its head alone; none when a control's body
// is to be read.
std::optional<HttpAnswer> HttpServer::answer_head(const HttpRequest& request, const HeadFacts& facts)
{
    std::optional<HttpAnswer> refusal;
    // A page elsewhere whose name was made to point here (DNS rebinding)
    // sends its own name: nothing is answered to it.
    if (facts.hosts != 1 || !host_names_this_agent(facts.host))
        refusal = error_answer(421, "the Host header does not name this agent (the site file's http.hosts lists "
                                    "the names it answers to)");
    else if (facts.lengths > 1)
        refusal = error_answer(400, "more than one Content-Length");
    else if (facts.authorizations > 1)  // which one a proxy on the way checked is unknown
        refusal = error_answer(400, "more than one Authorization");
    else if (facts.query_too_long)
        refusal = error_answer(400, "a query name or value is longer than " + std::to_string(kMaxQueryValueBytes) +
                                        " bytes");
    else if (request.method == "POST")
        refusal = control_refusal(request);
    if (!refusal && request.method == "POST") return std::nullopt;
    return refusal ? *refusal : route(request);
}

HttpAnswer HttpServer::answer(const RawHttpRequest& raw)
{
    HttpRequest request;
    request.method = raw.method;
    request.path = raw.path;
    request.remote_address = raw.remote_address;
    HeadFacts facts;
    facts.request = &request;
    // As libmicrohttpd hands them over: C strings, until one is refused.
    for (const auto& [name, value] : raw.headers)
        if (note_header(&facts, MHD_HEADER_KIND, name.c_str(), value.c_str()) != MHD_YES) break;
    for (const auto& [name, value] : raw.query)
        if (note_query_value(&facts, MHD_GET_ARGUMENT_KIND, name.c_str(), value.c_str()) != MHD_YES) break;
    if (std::optional<HttpAnswer> answer = answer_head(request, facts)) return std::move(*answer);
    request.body = raw.body.substr(0, kMaxBodyBytes);
    ControlRequest control;
    if (std::optional<HttpAnswer> refusal = read_control(request, control)) return std::move(*refusal);
    return control_answer(control, run_control(control));
}

void HttpServer::answer_in_full(MHD_Connection* connection, Exchange& exchange)
{
    ControlRequest control;
    if (auto refusal = read_control(exchange.request, control)) {
        exchange.answer = std::move(*refusal);
        exchange.stage = Exchange::Stage::Answered;
        return;
    }
    queue_control(connection, exchange, std::move(control));
}

void HttpServer::queue_control(MHD_Connection* connection, Exchange& exchange, ControlRequest control)
{
    std::lock_guard<std::mutex> lock(controls_mutex_);
    if (stopping_ || controls_.size() >= kMaxWaitingControls) {
        exchange.answer = error_answer(503, "too many controls waiting; try again");
        exchange.stage = Exchange::Stage::Answered;
        return;
    }
    exchange.stage = Exchange::Stage::Waiting;
    MHD_suspend_connection(connection);
    controls_.push_back({connection, &exchange, std::move(control)});
    controls_ready_.notify_one();
}

void HttpServer::run_controls()
{
    std::unique_lock<std::mutex> lock(controls_mutex_);
    for (;;) {
        controls_ready_.wait(lock, [this] { return stopping_ || !controls_.empty(); });
        if (controls_.empty()) return;
        ControlJob job = std::move(controls_.front());
        controls_.pop_front();
        const bool stopping = stopping_;
        lock.unlock();
        ControlAnswer answer;
        if (stopping) {
            answer.kind = ControlAnswer::Kind::Stopping;
            answer.message = "the agent is stopping";
        } else {
            answer = run_control(job.request);
        }
        job.exchange->answer = control_answer(job.request, answer);
        job.exchange->stage = Exchange::Stage::Answered;
        MHD_resume_connection(job.connection);
        lock.lock();
    }
}

ControlAnswer HttpServer::run_control(const ControlRequest& request)
{
    try {
        return setup_.control(request);
    } catch (const std::exception& e) {
        ControlAnswer answer;
        answer.kind = ControlAnswer::Kind::TimedOut;
        answer.message = e.what();
        return answer;
    }
}

HttpAnswer HttpServer::route(const HttpRequest& request)
{
    const std::string& path = request.path;
    const int64_t now_ms = utc_now_ms();
    if (request.method == "POST") return error_answer(405, "only controls are posted", {{"Allow", "GET"}});
    if (request.method != "GET") return error_answer(405, "GET, or POST for a control", {{"Allow", "GET, POST"}});
    if (path == "/metrics")
        return {200, "text/plain; version=0.0.4; charset=utf-8",
                render_metrics(setup_.facts.site, setup_.state->snapshot(), now_ms, setup_.metrics,
                               {setup_.settings.metrics_all_alarms, setup_.settings.metrics_values}),
                {}};
    if (path == "/api/status")
        return json_answer(200, status_json(setup_.facts, setup_.state->snapshot(), now_ms, setup_.status));
    if (path == "/api/events") return events(request);
    if (const auto unit = unit_in_path(path, "history")) return history(request, *unit);
    for (const PageAsset& asset : kPageAssets)
        if (path == asset.path || (path == "/index.html" && std::strcmp(asset.path, "/") == 0))
            return {200, asset.type, std::string(asset.body), {}};
    return error_answer(404, "no such page: /metrics, /api/status, /api/events, /api/units/NAME/history, /");
}

HttpAnswer HttpServer::history(const HttpRequest& request, const std::string& unit)
{
    const std::optional<std::size_t> place = setup_.state->find(unit);
    if (!place) return error_answer(404, "no unit named " + unit);
    StoreQuery q;
    q.unit = unit;
    ShownKeys keys = setup_.state->snapshot().at(*place).keys;
    if (!query_keys(request, keys)) return error_answer(400, "keys are value keys, as qmhost keys lists them");
    int64_t step_s = 0;
    if (!query_time(request, "from", q.from_ms) || !query_time(request, "to", q.to_ms))
        return error_answer(400, "from and to are ISO 8601 times with Z or an offset");
    if (!query_integer(request, "step_s", 0, kMaxStepS, step_s))
        return error_answer(400, "step_s is a whole number of seconds, 0 to " + std::to_string(kMaxStepS));
    if (!q.from_ms) q.from_ms = utc_now_ms() - 3600 * 1000;
    Json::Value body(Json::objectValue);
    body["unit"] = unit;
    Json::Value& records = body["records"] = Json::Value(Json::arrayValue);
    bool more = false;
    int64_t next_ms = 0;
    StoreReader(setup_.store_path).each_record(q, [&](const StoredRecord& r) {
        if (r.ts_ms < next_ms) return true;
        if (records.size() >= kMaxHistoryRows) return !(more = true);
        records.append(record_summary_json(r, keys));
        next_ms = r.ts_ms + step_s * 1000;
        return true;
    });
    body["more"] = more;
    return json_answer(200, body);
}

HttpAnswer HttpServer::events(const HttpRequest& request)
{
    StoreQuery q;
    q.limit = kDefaultEventRows;
    if (!query_time(request, "from", q.from_ms) || !query_time(request, "to", q.to_ms))
        return error_answer(400, "from and to are ISO 8601 times with Z or an offset");
    if (!query_integer(request, "limit", 1, kMaxEventRows, q.limit) ||
        !query_integer(request, "after", 0, INT64_MAX / 2, q.after_seq))
        return error_answer(400, "limit is 1 to " + std::to_string(kMaxEventRows) + ", after a sequence number");
    if (const auto unit = query_value(request, "unit")) {
        if (!setup_.state->find(*unit)) return error_answer(404, "no unit named " + *unit);
        q.unit = *unit;
    }
    // The page's list of the latest events asks for them newest first.
    if (const auto order = query_value(request, "order")) {
        if (*order != "oldest" && *order != "newest") return error_answer(400, "order is oldest (the default) or newest");
        q.newest_first = *order == "newest";
    }
    Json::Value body(Json::objectValue);
    Json::Value& list = body["events"] = Json::Value(Json::arrayValue);
    StoreReader(setup_.store_path).each_event(q, [&](const StoredEvent& e) {
        list.append(event_json(e));
        return true;
    });
    return json_answer(200, body);
}

bool HttpServer::authorised(const HttpRequest& request) const
{
    const std::string scheme = "Bearer ";
    if (request.authorization.compare(0, scheme.size(), scheme) != 0) return false;
    return same_digest(digest(request.authorization.substr(scheme.size())), token_digest_);
}

// What refuses a POST from its head alone, before its body is read.
std::optional<HttpAnswer> HttpServer::control_refusal(const HttpRequest& request) const
{
    if (!unit_in_path(request.path, "control"))
        return error_answer(405, "only controls are posted", {{"Allow", "GET"}});
    if (token_digest_.empty())
        return error_answer(403, "controls are off: the site file names no control_token_file");
    if (!authorised(request)) return error_answer(401, "unauthorised", {{"WWW-Authenticate", "Bearer"}});
    if (request.length < 0) return error_answer(411, "a control needs a Content-Length");
    if (request.length > static_cast<long long>(kMaxBodyBytes))
        return error_answer(413, "a control is at most " + std::to_string(kMaxBodyBytes) + " bytes");
    return std::nullopt;
}

std::optional<HttpAnswer> HttpServer::read_control(const HttpRequest& request, ControlRequest& r) const
{
    r.unit = *unit_in_path(request.path, "control");
    std::string by;
    if (const auto refusal = read_control_body(request.body, r, by)) {
        Json::Value body(Json::objectValue);
        body["error"] = refusal->why;
        body["check"] = refusal->check;
        return json_answer(400, body);
    }
    r.source = "http " + request.remote_address + (by.empty() ? "" : " (" + by + ")");
    if (!setup_.state->find(r.unit)) return error_answer(404, "no unit named " + r.unit);
    return std::nullopt;
}

}  // namespace agent
