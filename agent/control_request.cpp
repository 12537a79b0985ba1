#include "agent/control_request.hpp"

#include "hosting/control_checks.hpp"

#include <json/json.h>

#include <exception>
#include <memory>

namespace agent {
namespace {

// The members a control's body may have.
const char* const kBodyMembers[] = {"code", "input", "force", "by"};

bool hex_bytes(const std::string& text, std::vector<unsigned char>& bytes)
{
    if (text.size() % 2 != 0 || text.size() > 2 * kMaxControlInputBytes) return false;
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

bool parsed_object(const std::string& body, Json::Value& json)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(body.data(), body.data() + body.size(), &json, nullptr) && json.isObject();
    } catch (const std::exception&) {  // nesting past the reader's bound
        return false;
    }
}

ControlRefusal body_refusal(const std::string& why)
{
    return {"body", "a control is {\"code\": N, \"input\": \"HEX\", \"force\": true|false, \"by\": \"WHO\"}"
                    " (input at most " + std::to_string(kMaxControlInputBytes) + " bytes): " + why};
}

}  // namespace

std::string control_input_hex(const std::vector<unsigned char>& input)
{
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : input) hex += {kHex[byte >> 4], kHex[byte & 0xF]};
    return hex;
}

std::optional<ControlRefusal> read_control_body(const std::string& body, ControlRequest& request, std::string& by)
{
    Json::Value json;
    if (!parsed_object(body, json)) return body_refusal("not a JSON object");
    for (const std::string& name : json.getMemberNames()) {
        bool known = false;
        for (const char* member : kBodyMembers) known = known || name == member;
        if (!known) return body_refusal("unknown member \"" + name.substr(0, 32) + "\"");
    }
    if (!json["code"].isInt()) return body_refusal("code is not an integer");
    const Json::Value input = json.get("input", "");
    std::vector<unsigned char> bytes;
    if (!input.isString() || !hex_bytes(input.asString(), bytes))
        return body_refusal("input is not hex");
    const Json::Value force = json.get("force", false);
    if (!force.isBool()) return body_refusal("force is not true or false");
    const Json::Value asker = json.get("by", "");
    if (!asker.isString()) return body_refusal("by is not a string");
    by = asker.asString();
    if (by.size() > kMaxControlSourceLength || !printable_ascii(by))
        return ControlRefusal{"by", "by is at most " + std::to_string(kMaxControlSourceLength) +
                                        " printable ASCII characters"};
    try {
        check_control(json["code"].asInt(), bytes, ForceAsked{force.asBool(), "\"force\": true"});
    } catch (const ControlRefused& e) {
        return ControlRefusal{e.check(), e.what()};
    }
    request.code = json["code"].asInt();
    request.input = std::move(bytes);
    return std::nullopt;
}

}  // namespace agent
