#include "tools/qmhost/agent_client.hpp"

#include "agent/http_settings.hpp"
#include "agent/site_file.hpp"
#include "base/usage_error.hpp"

#include <civetweb.h>

#include <memory>
#include <stdexcept>

namespace {

// An answer larger than this is not the agent's: /api/status for 64 units
// is about 100 KB.
constexpr std::size_t kMaxAnswerBytes = 64u << 20;

struct Connection {
    mg_connection* c = nullptr;
    ~Connection()
    {
        if (c) mg_close_connection(c);
    }
};

struct Library {
    Library() { mg_init_library(0); }
    ~Library() { mg_exit_library(); }
};

}  // namespace

AgentUrl parse_agent_url(const std::string& text)
{
    const std::string scheme = "http://";
    const auto bad = [&] {
        return UsageError("--agent needs http://HOST:PORT, the address the agent serves HTTP on, not \"" + text + "\"");
    };
    if (text.compare(0, scheme.size(), scheme) != 0) throw bad();
    const std::string rest = text.substr(scheme.size());
    const auto slash = rest.find('/');
    const std::string where = rest.substr(0, slash);
    AgentUrl url;
    if (slash != std::string::npos) url.base = rest.substr(slash);
    while (!url.base.empty() && url.base.back() == '/') url.base.pop_back();
    const auto colon = where.rfind(':');
    url.host = where.substr(0, colon);
    if (url.host.empty()) throw bad();
    if (colon != std::string::npos) {
        const std::string port = where.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) throw bad();
        url.port = std::stoi(port);
        if (url.port < 1 || url.port > 65535) throw bad();
    }
    return url;
}

AgentAnswer agent_request(const AgentUrl& url, const std::string& method, const std::string& path,
                          const std::string& body, const std::string& token, int timeout_ms)
{
    const Library library;
    char error[256] = "";
    Connection connection;
    connection.c = mg_connect_client(url.host.c_str(), url.port, 0, error, sizeof error);
    const std::string where = "http://" + url.host + ":" + std::to_string(url.port);
    if (!connection.c) throw std::runtime_error("cannot reach the agent at " + where + ": " + error);
    const std::string authorization = token.empty() ? "" : "Authorization: Bearer " + token + "\r\n";
    mg_printf(connection.c,
              "%s %s%s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n%sContent-Type: application/json\r\n"
              "Content-Length: %zu\r\n\r\n",
              method.c_str(), url.base.c_str(), path.c_str(), url.host.c_str(), url.port, authorization.c_str(),
              body.size());
    if (!body.empty()) mg_write(connection.c, body.data(), body.size());
    if (mg_get_response(connection.c, error, sizeof error, timeout_ms) < 0)
        throw std::runtime_error("no answer from the agent at " + where + ": " + error);
    AgentAnswer answer;
    answer.status = mg_get_response_info(connection.c)->status_code;
    char chunk[16384];
    for (int n; (n = mg_read(connection.c, chunk, sizeof chunk)) > 0;) {
        answer.body.append(chunk, static_cast<std::size_t>(n));
        if (answer.body.size() > kMaxAnswerBytes) throw std::runtime_error("the agent's answer is too large");
    }
    return answer;
}

std::string read_token_file(const std::string& path)
{
    try {
        return agent::read_control_token(path);
    } catch (const agent::SiteFileError& e) {
        throw UsageError(std::string("--token-file: ") + e.what());
    }
}
