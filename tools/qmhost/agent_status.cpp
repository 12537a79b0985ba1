#include "tools/qmhost/agent_status.hpp"

#include "agent/control_request.hpp"
#include "agent/status_json.hpp"
#include "agent/time_text.hpp"
#include "base/usage_error.hpp"

#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

// Who asks, for the agent's control event: the user and the machine.
std::string asker()
{
    const char* user = std::getenv("USER");
    char host[64] = "";
    gethostname(host, sizeof host - 1);
    std::string by = std::string(user ? user : "") + "@" + host;
    for (char& ch : by)
        if (ch < 0x20 || ch > 0x7e) ch = '?';
    return by.substr(0, 64);
}

std::string error_of(const Json::Value& document, const AgentAnswer& answer)
{
    if (document.isObject() && document["message"].isString() && !document["message"].asString().empty())
        return document["message"].asString();
    if (document.isObject() && document["error"].isString()) return document["error"].asString();
    return answer.body.substr(0, 200);
}

Json::Value parsed(const std::string& text)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value document;
    if (!reader->parse(text.data(), text.data() + text.size(), &document, nullptr)) return Json::Value();
    return document;
}

}  // namespace

Json::Value agent_json(const AgentAnswer& answer, const std::string& what)
{
    const Json::Value document = parsed(answer.body);
    if (answer.status != 200)
        throw std::runtime_error("the agent answered " + what + " with " + std::to_string(answer.status) + ": " +
                                 error_of(document, answer));
    if (!document.isObject()) throw std::runtime_error("the agent's " + what + " is not a JSON object");
    return document;
}

AgentControlAnswer post_agent_control(const AgentUrl& url, const std::string& unit,
                                      const std::string& token_file, int code, const std::vector<unsigned char>& input,
                                      bool force)
{
    const std::string token = token_file.empty() ? "" : read_token_file(token_file);
    Json::Value request(Json::objectValue);
    request["code"] = code;
    request["input"] = agent::control_input_hex(input);
    if (force) request["force"] = true;
    request["by"] = asker();
    // The agent waits up to 20 s for the unit's line; the answer comes after.
    const AgentAnswer answer =
        agent_request(url, "POST", "/api/units/" + unit + "/control", agent::json_text(request), token, 30000);
    const Json::Value document = parsed(answer.body);
    const std::string why = error_of(document, answer);
    if (answer.status == 400 || answer.status == 404) throw UsageError("the agent refused the control: " + why);
    // The likely cause of each: no token sent, or not the agent's.
    if (answer.status == 401 && token.empty())
        throw UsageError("the agent refused the control (401): it wants its control token: pass --token-file FILE "
                         "(the file the site file's http.control_token_file names)");
    if (answer.status == 401)
        throw std::runtime_error("the agent refused the control (401): the token in " + token_file +
                                 " is not the agent's (compare it with the file its http.control_token_file names)");
    if (answer.status != 200)
        throw std::runtime_error("the agent refused the control (" + std::to_string(answer.status) + "): " + why);
    AgentControlAnswer outcome;
    outcome.handed = document["handed"].asInt();
    outcome.wrote = document["wrote"].asBool();
    if (document["result"].isInt()) outcome.result = document["result"].asInt();
    outcome.exit_status = document["exit_status"].asInt();
    outcome.message = document["message"].asString();
    return outcome;
}

Json::Value next_unit_status(const AgentUrl& url, const std::string& unit, int64_t after_ms, int wait_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    do {
        const Json::Value status = agent_json(agent_request(url, "GET", "/api/status"), "/api/status");
        for (const Json::Value& entry : status["units"]) {
            if (entry["name"].asString() != unit) continue;
            const Json::Value& last = entry["health"]["last_record"];
            const auto ms = agent::parse_iso8601_ms(last.isString() ? last.asString() : "");
            if (ms && *ms > after_ms && entry["values"].isObject()) return entry;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return Json::Value();
}
