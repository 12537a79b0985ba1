#include "agent/mqtt_messages.hpp"

#include "agent/events.hpp"
#include "agent/time_text.hpp"

#include <array>
#include <memory>

namespace agent::mqtt {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kMaxStoreIdLength = 64;
constexpr std::size_t kMaxNameLength = 64;

std::string level(const std::string& unit) { return unit.empty() ? kAgentLevel : unit; }

const char* last_level(TopicKind kind)
{
    for (const TopicForm& form : kTopicForms)
        if (form.kind == kind) return form.last_level;
    return "";
}

std::string unit_topic(const std::string& prefix, const std::string& site, const std::string& unit, TopicKind kind)
{
    return prefix + "/" + site + "/" + level(unit) + "/" + last_level(kind);
}

std::string site_topic(const std::string& prefix, const std::string& site, TopicKind kind)
{
    return prefix + "/" + site + "/" + last_level(kind);
}

std::optional<Json::Value> parse_object(const void* payload, std::size_t length)
{
    if (length == 0 || length > kMaxPayloadBytes) return std::nullopt;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char* text = static_cast<const char*>(payload);
    Json::Value value;
    if (!reader->parse(text, text + length, &value, nullptr) || !value.isObject()) return std::nullopt;
    return value;
}

bool is_seq(const Json::Value& value) { return value.isIntegral() && value.asInt64() >= 0; }

bool is_store_id(const Json::Value& value)
{
    return value.isString() && !value.asString().empty() && value.asString().size() <= kMaxStoreIdLength &&
           is_topic_level(value.asString());
}

// The members both kinds carry; false with `why` when one is missing or wrong.
bool read_common(const Json::Value& v, Received& out, std::string& why)
{
    if (!v["site"].isString() || !is_topic_level(v["site"].asString())) return why = "no valid site", false;
    if (!is_store_id(v["store"])) return why = "no valid store", false;
    if (!is_seq(v["seq"]) || v["seq"].asInt64() == 0) return why = "no valid seq", false;
    if (!v["replay"].isBool()) return why = "no replay flag", false;
    if (!is_seq(v["unconfirmed_from"])) return why = "no valid unconfirmed_from", false;
    const std::optional<int64_t> time = v["time"].isString() ? parse_iso8601_ms(v["time"].asString()) : std::nullopt;
    if (!time) return why = "no valid time", false;
    out.origin = {v["site"].asString(), v["store"].asString(), v["unconfirmed_from"].asInt64()};
    out.replay = v["replay"].asBool();
    if (out.kind == Received::Kind::Record) {
        out.record.seq = v["seq"].asInt64();
        out.record.ts_ms = *time;
    } else {
        out.event.seq = v["seq"].asInt64();
        out.event.ts_ms = *time;
    }
    return true;
}

bool read_record(const Json::Value& v, StoredRecord& r, std::string& why)
{
    if (!v["unit"].isString() || !is_topic_level(v["unit"].asString())) return why = "no valid unit", false;
    if (!v["slave"].isIntegral() || !v["device_id"].isIntegral()) return why = "no slave or device_id", false;
    if (!v["local_time"].isString() || !v["clock_synced"].isBool()) return why = "no local_time or clock_synced", false;
    const std::optional<std::vector<unsigned char>> body =
        v["record"].isString() ? base64_decode(v["record"].asString()) : std::nullopt;
    if (!body) return why = "no valid base64 record", false;
    r.unit = v["unit"].asString();
    r.slave = v["slave"].asInt();
    r.device_id = v["device_id"].asInt64();
    r.local_time = v["local_time"].asString();
    r.clock_ok = v["clock_synced"].asBool();
    r.body = *body;
    return true;
}

bool read_event(const Json::Value& v, StoredEvent& e, std::string& why)
{
    if (!v["unit"].isNull() && !(v["unit"].isString() && is_topic_level(v["unit"].asString())))
        return why = "no valid unit", false;
    if (!v["kind"].isString() || v["kind"].asString().empty()) return why = "no kind", false;
    if (!v["detail"].isObject()) return why = "no detail object", false;
    e.unit = v["unit"].isNull() ? std::string() : v["unit"].asString();
    e.kind = v["kind"].asString();
    e.detail = compact_json(v["detail"]);
    return true;
}

Json::Value origin_members(const Origin& origin, int64_t seq, int64_t ts_ms, bool replay)
{
    Json::Value v(Json::objectValue);
    v["site"] = origin.site;
    v["store"] = origin.store;
    v["seq"] = Json::Int64{seq};
    v["time"] = iso8601_utc_ms(ts_ms);
    v["replay"] = replay;
    v["unconfirmed_from"] = Json::Int64{origin.unconfirmed_from};
    return v;
}

}  // namespace

std::optional<Topic> parse_topic(const std::string& prefix, const std::string& topic)
{
    if (topic.compare(0, prefix.size() + 1, prefix + "/") != 0) return std::nullopt;
    std::vector<std::string> levels;
    for (std::size_t from = prefix.size() + 1;;) {
        const std::size_t slash = topic.find('/', from);
        levels.push_back(topic.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
        if (slash == std::string::npos || levels.size() > 3) break;
        from = slash + 1;
    }
    for (const TopicForm& form : kTopicForms) {
        if (levels.size() != (form.per_unit ? 3u : 2u) || levels.back() != form.last_level) continue;
        if (!is_topic_level(levels[0]) || (form.per_unit && !is_topic_level(levels[1]))) return std::nullopt;
        return Topic{form.kind, levels[0], form.per_unit ? levels[1] : std::string()};
    }
    return std::nullopt;
}

std::string record_topic(const std::string& prefix, const std::string& site, const std::string& unit)
{
    return unit_topic(prefix, site, unit, TopicKind::Record);
}

std::string event_topic(const std::string& prefix, const std::string& site, const std::string& unit)
{
    return unit_topic(prefix, site, unit, TopicKind::Event);
}

std::string status_topic(const std::string& prefix, const std::string& site, const std::string& unit)
{
    return unit_topic(prefix, site, unit, TopicKind::Status);
}

std::string agent_topic(const std::string& prefix, const std::string& site)
{
    return site_topic(prefix, site, TopicKind::Agent);
}

std::string confirm_topic(const std::string& prefix, const std::string& site)
{
    return site_topic(prefix, site, TopicKind::Confirm);
}

std::string all_records_filter(const std::string& prefix) { return unit_topic(prefix, "+", "+", TopicKind::Record); }
std::string all_events_filter(const std::string& prefix) { return unit_topic(prefix, "+", "+", TopicKind::Event); }

std::string record_payload(const StoredRecord& r, const Origin& origin, const Json::Value& summary, bool replay)
{
    Json::Value v = origin_members(origin, r.seq, r.ts_ms, replay);
    v["unit"] = r.unit;
    v["slave"] = r.slave;
    v["device_id"] = Json::Int64{r.device_id};
    v["local_time"] = r.local_time;
    v["clock_synced"] = r.clock_ok;
    v["record"] = base64_encode(r.body);
    v["summary"] = summary;
    return compact_json(v);
}

std::string event_payload(const StoredEvent& e, const Origin& origin, bool replay)
{
    Json::Value v = origin_members(origin, e.seq, e.ts_ms, replay);
    v["unit"] = e.unit.empty() ? Json::Value() : Json::Value(e.unit);
    v["kind"] = e.kind;
    const std::optional<Json::Value> parsed = parse_object(e.detail.data(), e.detail.size());
    v["detail"] = parsed ? *parsed : Json::Value(Json::objectValue);
    return compact_json(v);
}

std::string status_payload(const StoredRecord& r, const Origin& origin, const Json::Value& summary)
{
    Json::Value v(Json::objectValue);
    v["site"] = origin.site;
    v["unit"] = r.unit;
    v["seq"] = Json::Int64{r.seq};
    v["time"] = iso8601_utc_ms(r.ts_ms);
    v["summary"] = summary;
    return compact_json(v);
}

std::string agent_online_payload(const std::string& version, int64_t started_ms)
{
    Json::Value v(Json::objectValue);
    v["online"] = true;
    v["version"] = version;
    v["started"] = iso8601_utc_ms(started_ms);
    return compact_json(v);
}

std::string agent_offline_payload() { return R"({"online":false})"; }

std::string confirm_payload(const Confirm& confirm)
{
    Json::Value v(Json::objectValue);
    v["store"] = confirm.store;
    v["record_seq"] = Json::Int64{confirm.record_seq};
    v["event_seq"] = Json::Int64{confirm.event_seq};
    return compact_json(v);
}

std::optional<Confirm> parse_confirm(const void* payload, std::size_t length)
{
    const std::optional<Json::Value> v = parse_object(payload, length);
    if (!v || !is_store_id((*v)["store"]) || !is_seq((*v)["record_seq"]) || !is_seq((*v)["event_seq"]))
        return std::nullopt;
    return Confirm{(*v)["store"].asString(), (*v)["record_seq"].asInt64(), (*v)["event_seq"].asInt64()};
}

std::optional<Received> parse_received(Received::Kind kind, const void* payload, std::size_t length,
                                       std::string& why)
{
    const std::optional<Json::Value> v = parse_object(payload, length);
    if (!v) {
        why = "not a JSON object of at most " + std::to_string(kMaxPayloadBytes) + " bytes";
        return std::nullopt;
    }
    Received out;
    out.kind = kind;
    if (!read_common(*v, out, why)) return std::nullopt;
    const bool ok = kind == Received::Kind::Record ? read_record(*v, out.record, why) : read_event(*v, out.event, why);
    if (!ok) return std::nullopt;
    return out;
}

std::string base64_encode(const std::vector<unsigned char>& bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const uint32_t chunk = (uint32_t{bytes[i]} << 16) | (left > 1 ? uint32_t{bytes[i + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{bytes[i + 2]} : 0);
        out += kBase64Alphabet[(chunk >> 18) & 63];
        out += kBase64Alphabet[(chunk >> 12) & 63];
        out += left > 1 ? kBase64Alphabet[(chunk >> 6) & 63] : '=';
        out += left > 2 ? kBase64Alphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<std::vector<unsigned char>> base64_decode(const std::string& text)
{
    if (text.size() % 4 != 0) return std::nullopt;
    std::array<int, 256> value{};
    value.fill(-1);
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    std::vector<unsigned char> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=') return std::nullopt;
        uint32_t chunk = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const bool padding = static_cast<int>(k) >= 4 - pad;
            const int v = padding ? 0 : value[static_cast<unsigned char>(text[i + k])];
            if (v < 0) return std::nullopt;
            chunk = (chunk << 6) | static_cast<uint32_t>(v);
        }
        out.push_back(static_cast<unsigned char>(chunk >> 16));
        if (pad < 2) out.push_back(static_cast<unsigned char>(chunk >> 8));
        if (pad < 1) out.push_back(static_cast<unsigned char>(chunk));
    }
    return out;
}

bool is_topic_level(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (char c : name)
        if (c == '/' || c == '+' || c == '#' || c == '$' || static_cast<unsigned char>(c) <= ' ') return false;
    return true;
}

}  // namespace agent::mqtt
