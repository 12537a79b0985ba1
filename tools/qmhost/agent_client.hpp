// qmhost as a client of a running agent (qmhost serve): status and controls
// over its HTTP API. Plain HTTP, or HTTPS with the agent's certificate
// checked by GnuTLS against --cafile (or the system's CAs) and the URL's host.
#pragma once

#include <string>

struct AgentUrl {
    bool tls = false;
    std::string host;  // a name, an IPv4 address or an IPv6 one without its brackets
    int port = 80;
    std::string base;    // a path prefix without the trailing slash, usually empty
    std::string cafile;  // with tls: the CA the agent's certificate must come from; empty: the system's
};

// http[s]://HOST:PORT[/PREFIX] (HOST may be [IPv6]); throws UsageError for
// anything else, and for a CA file given with plain http.
AgentUrl parse_agent_url(const std::string& text, const std::string& cafile = {});

struct AgentAnswer {
    int status = 0;  // the HTTP status
    std::string body;
};

// One request, bounded in time; throws std::runtime_error when the agent
// cannot be reached, its certificate is not trusted, or it does not answer
// in time. `token` empty: no Authorization header.
AgentAnswer agent_request(const AgentUrl& url, const std::string& method, const std::string& path,
                          const std::string& body = {}, const std::string& token = {}, int timeout_ms = 10000);

// The control token from --token-file: its first line.
std::string read_token_file(const std::string& path);
