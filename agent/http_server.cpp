#include "agent/http_server.hpp"

#include "agent/page_assets.hpp"
#include "agent/site_file.hpp"
#include "base/sha256.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/time_text.hpp"

#include <civetweb.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

namespace agent {
namespace {

// Rows one history or events answer carries at most; a page asks again
// from where it stopped.
constexpr int64_t kMaxHistoryRows = 5000;
constexpr int64_t kMaxEventRows = 1000;
constexpr int64_t kDefaultEventRows = 200;
// The page's trends: one point per this many seconds at the finest.
constexpr int64_t kMaxStepS = 3600;
constexpr std::size_t kMaxInputBytes = 512;
constexpr std::size_t kMaxSourceLength = 64;

void send(mg_connection* c, int status, const char* type, const std::string& body, const char* extra = "")
{
    mg_printf(c,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nConnection: close\r\n%s\r\n",
              status, mg_get_response_code_text(c, status), type, body.size(), extra);
    mg_write(c, body.data(), body.size());
}

int send_json(mg_connection* c, int status, const Json::Value& body)
{
    send(c, status, "application/json", json_text(body) + "\n");
    return status;
}

int send_error(mg_connection* c, int status, const std::string& why, const char* extra = "")
{
    Json::Value body(Json::objectValue);
    body["error"] = why;
    send(c, status, "application/json", json_text(body) + "\n", extra);
    return status;
}

std::optional<std::string> query_value(const char* query, const char* name)
{
    if (!query) return std::nullopt;
    char value[256];
    const int length = mg_get_var(query, std::strlen(query), name, value, sizeof value);
    if (length < 0) return std::nullopt;
    return std::string(value, static_cast<std::size_t>(length));
}

// A time parameter: absent, or ISO 8601 (time_text.hpp); false when malformed.
bool query_time(const char* query, const char* name, std::optional<int64_t>& ms)
{
    const auto text = query_value(query, name);
    if (!text) return true;
    ms = parse_iso8601_ms(*text);
    return ms.has_value();
}

bool query_integer(const char* query, const char* name, int64_t low, int64_t high, int64_t& value)
{
    const auto text = query_value(query, name);
    if (!text) return true;
    if (text->empty() || text->size() > 18 || text->find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoll(*text);
    return value >= low && value <= high;
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

bool hex_bytes(const std::string& text, std::vector<unsigned char>& bytes)
{
    if (text.size() % 2 != 0 || text.size() > 2 * kMaxInputBytes) return false;
    const auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return true;
}

bool printable_ascii(const std::string& text)
{
    for (char c : text)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
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

// civetweb's own lines (a request that timed out, a refused connection)
// would fill the journal under a flood; every answer already says why.
int quiet(const mg_connection*, const char*) { return 1; }

}  // namespace

HttpServer::HttpServer(HttpParts parts) : parts_(std::move(parts))
{
    if (!parts_.token.empty()) token_digest_ = digest(parts_.token);
    const std::string listen = parts_.settings.address + ":" + std::to_string(parts_.settings.port);
    const std::string threads = std::to_string(kWorkerThreads);
    const std::string timeout = std::to_string(kRequestTimeoutMs);
    const std::string header_bytes = std::to_string(kMaxHeaderBytes);
    const char* options[] = {"listening_ports", listen.c_str(),
                             "num_threads", threads.c_str(),
                             "request_timeout_ms", timeout.c_str(),
                             "max_request_size", header_bytes.c_str(),
                             "enable_keep_alive", "no",
                             // No other site's page may read the API from a browser.
                             "access_control_allow_origin", "",
                             nullptr};
    mg_init_library(0);
    mg_callbacks callbacks{};
    callbacks.log_message = quiet;
    mg_init_data init{&callbacks, this, options};
    char reason[256] = "";
    unsigned code = 0;
    mg_error_data error{&code, reason, sizeof reason};
    context_ = mg_start2(&init, &error);
    if (!context_) {
        mg_exit_library();
        throw std::runtime_error("cannot serve HTTP on " + listen + ": " + reason);
    }
    mg_set_request_handler(context_, "/", handle, this);
    mg_server_port ports[1];
    if (mg_get_server_ports(context_, 1, ports) == 1) port_ = ports[0].port;
}

namespace {

// One connection to our own listener, closed at once.
void poke(const std::string& address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address == "0.0.0.0" ? "127.0.0.1" : address.c_str(), &to.sin_addr) == 1)
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(fd);
}

}  // namespace

HttpServer::~HttpServer()
{
    // civetweb's listener looks at its stop flag only between waits of up to
    // 2 s; a connection of our own ends the wait, so the agent stops in time.
    std::atomic<bool> stopped{false};
    std::thread stopping([this, &stopped] {
        mg_stop(context_);
        stopped = true;
    });
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!stopped && std::chrono::steady_clock::now() < give_up) {
        poke(parts_.settings.address, port_);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stopping.join();
    mg_exit_library();
}

int HttpServer::handle(mg_connection* connection, void* self)
{
    try {
        return static_cast<HttpServer*>(self)->route(connection);
    } catch (const std::exception& e) {
        return send_error(connection, 500, e.what());
    }
}

int HttpServer::route(mg_connection* c)
{
    const mg_request_info* request = mg_get_request_info(c);
    const std::string method = request->request_method;
    const std::string path = request->local_uri ? request->local_uri : "";
    const int64_t now_ms = utc_now_ms();
    if (method == "POST") {
        if (const auto unit = unit_in_path(path, "control")) return control(c, *unit);
        return send_error(c, 405, "only controls are posted", "Allow: GET\r\n");
    }
    if (method != "GET") return send_error(c, 405, "GET, or POST for a control", "Allow: GET, POST\r\n");
    if (path == "/metrics") {
        send(c, 200, "text/plain; version=0.0.4; charset=utf-8",
             render_metrics(parts_.facts.site, parts_.state->snapshot(), now_ms, parts_.metrics));
        return 200;
    }
    if (path == "/api/status")
        return send_json(c, 200, status_json(parts_.facts, parts_.state->snapshot(), now_ms, parts_.status));
    if (path == "/api/events") return events(c, request->query_string);
    if (const auto unit = unit_in_path(path, "history")) return history(c, *unit, request->query_string);
    for (const PageAsset& asset : kPageAssets)
        if (path == asset.path || (path == "/index.html" && std::strcmp(asset.path, "/") == 0)) {
            send(c, 200, asset.type, std::string(asset.body));
            return 200;
        }
    return send_error(c, 404, "no such page: /metrics, /api/status, /api/events, /api/units/NAME/history, /");
}

int HttpServer::history(mg_connection* c, const std::string& unit, const char* query)
{
    if (!parts_.state->find(unit)) return send_error(c, 404, "no unit named " + unit);
    StoreQuery q;
    q.unit = unit;
    int64_t step_s = 0;
    if (!query_time(query, "from", q.from_ms) || !query_time(query, "to", q.to_ms))
        return send_error(c, 400, "from and to are ISO 8601 times with Z or an offset");
    if (!query_integer(query, "step_s", 0, kMaxStepS, step_s))
        return send_error(c, 400, "step_s is a whole number of seconds, 0 to " + std::to_string(kMaxStepS));
    if (!q.from_ms) q.from_ms = utc_now_ms() - 3600 * 1000;
    Json::Value body(Json::objectValue);
    body["unit"] = unit;
    Json::Value& records = body["records"] = Json::Value(Json::arrayValue);
    bool more = false;
    int64_t next_ms = 0;
    StoreReader(parts_.store_path).each_record(q, [&](const StoredRecord& r) {
        if (r.ts_ms < next_ms) return true;
        if (records.size() >= kMaxHistoryRows) return !(more = true);
        records.append(record_summary_json(r));
        next_ms = r.ts_ms + step_s * 1000;
        return true;
    });
    body["more"] = more;
    return send_json(c, 200, body);
}

int HttpServer::events(mg_connection* c, const char* query)
{
    StoreQuery q;
    q.limit = kDefaultEventRows;
    if (!query_time(query, "from", q.from_ms) || !query_time(query, "to", q.to_ms))
        return send_error(c, 400, "from and to are ISO 8601 times with Z or an offset");
    if (!query_integer(query, "limit", 1, kMaxEventRows, q.limit) ||
        !query_integer(query, "after", 0, INT64_MAX / 2, q.after_seq))
        return send_error(c, 400, "limit is 1 to " + std::to_string(kMaxEventRows) + ", after a sequence number");
    if (const auto unit = query_value(query, "unit")) {
        if (!parts_.state->find(*unit)) return send_error(c, 404, "no unit named " + *unit);
        q.unit = *unit;
    }
    Json::Value body(Json::objectValue);
    Json::Value& list = body["events"] = Json::Value(Json::arrayValue);
    StoreReader(parts_.store_path).each_event(q, [&](const StoredEvent& e) {
        list.append(event_json(e));
        return true;
    });
    return send_json(c, 200, body);
}

bool HttpServer::authorised(mg_connection* c) const
{
    const char* header = mg_get_header(c, "Authorization");
    const std::string scheme = "Bearer ";
    if (!header || std::strncmp(header, scheme.c_str(), scheme.size()) != 0) return false;
    return same_digest(digest(header + scheme.size()), token_digest_);
}

int HttpServer::control(mg_connection* c, const std::string& unit)
{
    if (token_digest_.empty())
        return send_error(c, 403, "controls are off: the site file names no control_token_file");
    if (!authorised(c)) return send_error(c, 401, "unauthorised", "WWW-Authenticate: Bearer\r\n");
    const mg_request_info* request = mg_get_request_info(c);
    if (request->content_length < 0) return send_error(c, 411, "a control needs a Content-Length");
    if (request->content_length > static_cast<long long>(kMaxBodyBytes))
        return send_error(c, 413, "a control is at most " + std::to_string(kMaxBodyBytes) + " bytes");
    std::string body(static_cast<std::size_t>(request->content_length), '\0');
    std::size_t got = 0;
    while (got < body.size()) {
        const int n = mg_read(c, &body[got], body.size() - got);
        if (n <= 0) return send_error(c, 400, "the body ended early");
        got += static_cast<std::size_t>(n);
    }

    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value json;
    ControlRequest r;
    r.unit = unit;
    const bool parsed = reader->parse(body.data(), body.data() + body.size(), &json, nullptr) && json.isObject();
    if (!parsed || !json["code"].isInt() || (json.isMember("input") && !json["input"].isString()) ||
        (json.isMember("input") && !hex_bytes(json["input"].asString(), r.input)))
        return send_error(c, 400, "a control is {\"code\": N, \"input\": \"HEX\"} (input at most " +
                                      std::to_string(kMaxInputBytes) + " bytes)");
    r.code = json["code"].asInt();
    const std::string by = json.isMember("by") && json["by"].isString() ? json["by"].asString() : "";
    if (by.size() > kMaxSourceLength || !printable_ascii(by))
        return send_error(c, 400, "by is at most " + std::to_string(kMaxSourceLength) + " printable ASCII characters");
    r.source = std::string("http ") + request->remote_addr + (by.empty() ? "" : " (" + by + ")");

    if (!parts_.state->find(unit)) return send_error(c, 404, "no unit named " + unit);
    const ControlAnswer answer = parts_.control(r);
    Json::Value reply(Json::objectValue);
    reply["unit"] = unit;
    reply["code"] = r.code;
    if (answer.kind == ControlAnswer::Kind::Done) {
        reply["exit_status"] = answer.exit_status;
        reply["handed"] = answer.handed;
        reply["wrote"] = answer.wrote;
        reply["result"] = answer.result ? Json::Value(*answer.result) : Json::Value();
    }
    reply["message"] = answer.message;
    return send_json(c, control_status(answer), reply);
}

}  // namespace agent
