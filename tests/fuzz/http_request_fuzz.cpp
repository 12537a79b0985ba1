// Feeds arbitrary requests to the HTTP side's answers, without a socket:
// an agent of two units (one with a record, one without), a small store of
// theirs, a control token, and a line that answers every control at once.
// Every request must be answered (nothing thrown), with a status the
// server gives and, for JSON, a body that reads back; a control runs only
// for a POST with one Host naming the agent and the token, on a unit of
// the site.
//
// Input format, as text: "METHOD PATH" on the first line, then header
// lines "Name: value" and query lines "?name=value" up to an empty line;
// the rest is the body.
#include "agent/http_server.hpp"
#include "agent/store.hpp"

#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <strings.h>

namespace {

constexpr const char* kToken = "fuzz-token-0123456789";
constexpr int64_t kStart = 1'780'000'000'000;

void check(bool holds)
{
    if (!holds) std::abort();
}

std::vector<unsigned char> record(unsigned char fill) { return std::vector<unsigned char>(459, fill); }

// A store of a few records and events of unit-1, made once.
std::string small_store()
{
    static char folder[] = "/tmp/qm-http-fuzz-XXXXXX";
    check(::mkdtemp(folder) != nullptr);
    std::atexit([] { std::filesystem::remove_all(folder); });
    agent::StoreSettings settings;
    settings.path = std::string(folder) + "/site.db";
    settings.site = "site-1";
    settings.warn = [](const std::string&) {};
    agent::Store store(settings.path, settings);
    for (int i = 0; i < 5; ++i) {
        agent::Cycle cycle;
        cycle.time_ms = kStart + i * 5000;
        cycle.records.push_back({"unit-1", 1, 1, cycle.time_ms, "2026-05-28 10:00:00", true, 5156,
                                 record(static_cast<unsigned char>(i))});
        agent::NewEvent event;
        event.unit = i % 2 ? "unit-1" : "";
        event.ts_ms = cycle.time_ms;
        event.kind = agent::event_kind::kControl;
        event.detail["code"] = i;
        cycle.events.push_back(event);
        check(store.commit_cycle(cycle).committed);
    }
    return settings.path;
}

struct Agent {
    std::unique_ptr<agent::SiteState> state;
    std::unique_ptr<agent::HttpServer> server;
    int controls = 0;
    std::string last_unit;
};

Agent& the_agent()
{
    static Agent* const made = [] {
        auto* a = new Agent;
        agent::UnitSnapshot one, two;
        one.name = "unit-1";
        one.slave = one.device_id = 1;
        one.record = record(7);
        one.record_ms = kStart;
        two.name = "unit-2";
        two.slave = two.device_id = 2;
        a->state = std::make_unique<agent::SiteState>(std::vector<agent::UnitSnapshot>{one, two});
        agent::HttpSetup setup;
        setup.settings.enabled = true;
        setup.settings.address = "127.0.0.1";
        setup.settings.port = 8080;
        setup.settings.hosts = {"agent.site-1.example"};
        setup.token = kToken;
        setup.facts = {"site-1", "0.0.0", kStart, true};
        setup.state = a->state.get();
        setup.store_path = small_store();
        setup.control = [a](const agent::ControlRequest& r) {
            ++a->controls;
            a->last_unit = r.unit;
            agent::ControlAnswer answer;
            answer.exit_status = 0;
            answer.handed = 1;
            answer.wrote = true;
            answer.result = 1;
            return answer;
        };
        a->server = std::make_unique<agent::HttpServer>(std::move(setup), agent::HttpServer::Unlistened{});
        return a;
    }();
    return *made;
}

// The text cut at `end`, from `at`, which moves past the separator.
std::string take(const std::string& text, std::size_t& at, const std::string& end)
{
    const std::size_t found = text.find(end, at);
    const std::size_t stop = found == std::string::npos ? text.size() : found;
    std::string part = text.substr(at, stop - at);
    at = found == std::string::npos ? text.size() : stop + end.size();
    return part;
}

agent::RawHttpRequest read_request(const std::string& text)
{
    agent::RawHttpRequest r;
    std::size_t at = 0;
    std::string first = take(text, at, "\n");
    std::size_t in_first = 0;
    r.method = take(first, in_first, " ");
    r.path = first.substr(in_first);
    while (at < text.size()) {
        std::string line = take(text, at, "\n");
        if (line.empty()) break;
        std::size_t in_line = 0;
        if (line[0] == '?') {
            in_line = 1;
            std::string name = take(line, in_line, "=");
            r.query.emplace_back(std::move(name), line.substr(in_line));
        } else {
            std::string name = take(line, in_line, ": ");
            r.headers.emplace_back(std::move(name), line.substr(in_line));
        }
    }
    r.body = text.substr(at);
    return r;
}

// The first Authorization header, as the server sees it: a C string.
bool has_token(const agent::RawHttpRequest& r)
{
    for (const auto& [name, value] : r.headers)
        if (strcasecmp(name.c_str(), "Authorization") == 0) return value.c_str() == std::string("Bearer ") + kToken;
    return false;
}

int hosts(const agent::RawHttpRequest& r)
{
    int count = 0;
    for (const auto& [name, value] : r.headers) count += strcasecmp(name.c_str(), "Host") == 0;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    Agent& a = the_agent();
    const agent::RawHttpRequest request = read_request(std::string(reinterpret_cast<const char*>(data), size));
    const int controls = a.controls;
    const agent::HttpAnswer answer = a.server->answer(request);
    static const std::set<int> statuses = {200, 400, 401, 403, 404, 405, 411, 413, 421, 503, 504};
    check(statuses.count(answer.status) == 1);
    check(answer.status == 421 || hosts(request) == 1);
    if (answer.type == "application/json") {
        Json::Value body;
        check(Json::Reader().parse(answer.body, body) && body.isObject());
        check(answer.status == 200 || body["error"].isString());
    }
    if (a.controls != controls) {
        check(a.controls == controls + 1 && request.method == "POST" && has_token(request));
        check(a.last_unit == "unit-1" || a.last_unit == "unit-2");
        check(answer.status == 200);
    }
    return 0;
}
