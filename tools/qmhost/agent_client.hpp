// qmhost as a client of a running agent (qmhost serve): status and controls
// over its HTTP API, with civetweb's client; plain HTTP on the agent's
// address, as the agent listens.
#pragma once

#include <string>

struct AgentUrl {
    std::string host;
    int port = 80;
    std::string base;  // a path prefix without the trailing slash, usually empty
};

// http://HOST:PORT[/PREFIX]; throws UsageError for anything else.
AgentUrl parse_agent_url(const std::string& text);

struct AgentAnswer {
    int status = 0;  // the HTTP status
    std::string body;
};

// One request, bounded in time; throws std::runtime_error when the agent
// cannot be reached or does not answer in time. `token` empty: no
// Authorization header.
AgentAnswer agent_request(const AgentUrl& url, const std::string& method, const std::string& path,
                          const std::string& body = {}, const std::string& token = {}, int timeout_ms = 10000);

// The control token from --token-file: its first line.
std::string read_token_file(const std::string& path);
