#include "agent/mqtt_messages.hpp"

#include "agent/compact_record.hpp"
#include "agent/events.hpp"
#include "agent/flat_json.hpp"
#include "agent/time_text.hpp"
#include "agent/unit_state.hpp"
#include "host/contract.hpp"

#include <zstd.h>

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

// Deeper than `limit` in [ and { outside strings: found before the parser
// runs, so no nesting reaches its recursion.
bool nested_deeper_than(const char* text, std::size_t length, int limit)
{
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

bool refuse(Refused& refused, Refusal reason, std::string why)
{
    refused = {reason, std::move(why)};
    return false;
}

// One JSON object within the bounds, or nothing with `refused` set.
std::optional<Json::Value> read_object(const void* payload, std::size_t length, Refused& refused)
{
    const char* text = static_cast<const char*>(payload);
    if (length == 0 || length > kMaxPayloadBytes || text == nullptr) {
        refuse(refused, Refusal::TooLarge, "not 1 to " + std::to_string(kMaxPayloadBytes) + " bytes");
        return std::nullopt;
    }
    if (nested_deeper_than(text, length, kMaxNesting)) {
        refuse(refused, Refusal::TooDeep, "nested deeper than " + std::to_string(kMaxNesting));
        return std::nullopt;
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = kMaxNesting + 1;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    if (!reader->parse(text, text + length, &value, nullptr) || !value.isObject()) {
        refuse(refused, Refusal::NotJson, "not one JSON object");
        return std::nullopt;
    }
    return value;
}

// The same bounds, then the object's members as flat_json reads them.
bool read_flat(const void* payload, std::size_t length, std::vector<flat_json::Member>& members, Refused& refused)
{
    const char* text = static_cast<const char*>(payload);
    if (length == 0 || length > kMaxPayloadBytes || text == nullptr)
        return refuse(refused, Refusal::TooLarge, "not 1 to " + std::to_string(kMaxPayloadBytes) + " bytes");
    if (nested_deeper_than(text, length, kMaxNesting))
        return refuse(refused, Refusal::TooDeep, "nested deeper than " + std::to_string(kMaxNesting));
    if (!flat_json::read_object(text, length, members)) return refuse(refused, Refusal::NotJson, "not one JSON object");
    return true;
}

// The members of one object, read each by its type and range; the first
// that fails is kept in `refused`, and what fails reads as empty.
class Members {
public:
    Members(const Json::Value& object, Refused& refused) : object_(object), refused_(refused) {}

    bool ok() const { return ok_; }

    // A whole number (a JSON integer, not a fraction or exponent form).
    int64_t whole(const char* name, int64_t low, int64_t high)
    {
        const Json::Value& v = object_[name];
        if (v.type() != Json::intValue && v.type() != Json::uintValue)
            return fail(Refusal::BadMember, name, "no whole number"), 0;
        // Checked before it is read: asInt64 throws past its own range.
        if (!v.isInt64() || v.asInt64() < low || v.asInt64() > high)
            return fail(Refusal::OutOfRange, name, "not " + std::to_string(low) + " to " + std::to_string(high)), 0;
        return v.asInt64();
    }

    std::string text(const char* name, std::size_t max_length)
    {
        const Json::Value& v = object_[name];
        if (!v.isString()) return fail(Refusal::BadMember, name, "no text"), std::string();
        std::string out = v.asString();
        if (out.empty() || out.size() > max_length)
            return fail(Refusal::OutOfRange, name, "not 1 to " + std::to_string(max_length) + " characters"), std::string();
        return out;
    }

    // A site, unit or store name that can stand as one topic level.
    std::string level(const char* name)
    {
        std::string out = text(name, kMaxStoreIdLength);
        if (ok_ && !is_topic_level(out)) return fail(Refusal::OutOfRange, name, "not one topic level"), std::string();
        return out;
    }

    bool flag(const char* name)
    {
        const Json::Value& v = object_[name];
        if (!v.isBool()) return fail(Refusal::BadMember, name, "no true or false"), false;
        return v.asBool();
    }

    const Json::Value& object(const char* name)
    {
        const Json::Value& v = object_[name];
        if (!v.isObject()) fail(Refusal::BadMember, name, "no object");
        return v;
    }

    const Json::Value& member(const char* name) const { return object_[name]; }
    bool has(const char* name) const { return object_.isMember(name) && !object_[name].isNull(); }

    void fail(Refusal reason, const char* name, const std::string& why)
    {
        if (ok_) refuse(refused_, reason, std::string(name) + ": " + why);
        ok_ = false;
    }

private:
    const Json::Value& object_;
    Refused& refused_;
    bool ok_ = true;
};

// The same reads over a record message's members as flat_json finds them:
// no document is built for the messages the ingest takes in most.
class FlatMembers {
public:
    FlatMembers(const std::vector<flat_json::Member>& members, Refused& refused) : members_(members), refused_(refused)
    {
    }

    bool ok() const { return ok_; }

    int64_t whole(const char* name, int64_t low, int64_t high)
    {
        const flat_json::Member* v = find(name);
        int64_t value = 0;
        const flat_json::Whole whole =
            v && v->kind == flat_json::Kind::Integer ? flat_json::whole_value(v->raw, value) : flat_json::Whole::NotWhole;
        if (whole == flat_json::Whole::NotWhole) return fail(Refusal::BadMember, name, "no whole number"), 0;
        if (whole == flat_json::Whole::OutOfInt64 || value < low || value > high)
            return fail(Refusal::OutOfRange, name, "not " + std::to_string(low) + " to " + std::to_string(high)), 0;
        return value;
    }

    std::string text(const char* name, std::size_t max_length)
    {
        const flat_json::Member* v = find(name);
        if (!v || v->kind != flat_json::Kind::String) return fail(Refusal::BadMember, name, "no text"), std::string();
        if (v->text.empty() || v->text.size() > max_length)
            return fail(Refusal::OutOfRange, name, "not 1 to " + std::to_string(max_length) + " characters"), std::string();
        return v->text;
    }

    std::string level(const char* name)
    {
        std::string out = text(name, kMaxStoreIdLength);
        if (ok_ && !is_topic_level(out)) return fail(Refusal::OutOfRange, name, "not one topic level"), std::string();
        return out;
    }

    bool flag(const char* name)
    {
        const flat_json::Member* v = find(name);
        if (!v || (v->kind != flat_json::Kind::True && v->kind != flat_json::Kind::False))
            return fail(Refusal::BadMember, name, "no true or false"), false;
        return v->kind == flat_json::Kind::True;
    }

    // A string member's decoded text, or null when it is not a string.
    const std::string* string_member(const char* name)
    {
        const flat_json::Member* v = find(name);
        if (!v || v->kind != flat_json::Kind::String) return fail(Refusal::BadMember, name, "no text"), nullptr;
        return &v->text;
    }

    void fail(Refusal reason, const char* name, const std::string& why)
    {
        if (ok_) refuse(refused_, reason, std::string(name) + ": " + why);
        ok_ = false;
    }

private:
    const flat_json::Member* find(const char* name) const
    {
        for (const flat_json::Member& m : members_)
            if (m.name == name) return &m;
        return nullptr;
    }

    const std::vector<flat_json::Member>& members_;
    Refused& refused_;
    bool ok_ = true;
};

// Record bodies are one record's bytes, and base64 of them this long.
constexpr std::size_t kRecordBase64Length = (contract::kRecordSize + 2) / 3 * 4;
constexpr std::size_t kMaxTimeLength = 40;
constexpr std::size_t kMaxKindLength = 64;

// Times from 1970 to the year 9999: what both forms of a message carry
// (the compact one as an unsigned count of ms), and ISO 8601 can write.
constexpr int64_t kMaxTimeMs = 253402300799999;

// The members both kinds carry, and the topic's identity over the payload's.
template <typename M>
void read_common(M& m, const Topic& topic, Received& out)
{
    const std::string site = m.level("site");
    const std::string store = m.level("store");
    const int64_t seq = m.whole("seq", 1, kMaxSeq);
    const bool replay = m.flag("replay");
    const int64_t unconfirmed_from = m.whole("unconfirmed_from", 1, kMaxSeq);
    const std::string time_text = m.text("time", kMaxTimeLength);
    if (!m.ok()) return;
    const std::optional<int64_t> time = parse_iso8601_ms(time_text);
    if (!time) return m.fail(Refusal::OutOfRange, "time", "not an ISO 8601 time");
    if (*time < 0 || *time > kMaxTimeMs)
        return m.fail(Refusal::OutOfRange, "time", *time < 0 ? "before 1970" : "after the year 9999");
    if (unconfirmed_from > seq) return m.fail(Refusal::OutOfRange, "unconfirmed_from", "past the message's seq");
    if (site != topic.site) return m.fail(Refusal::WrongTopic, "site", "not the topic's site");
    out.origin = {site, store, unconfirmed_from};
    out.replay = replay;
    if (out.kind == Received::Kind::Record) {
        out.record.seq = seq;
        out.record.ts_ms = *time;
    } else {
        out.event.seq = seq;
        out.event.ts_ms = *time;
    }
}

void read_record(FlatMembers& m, const Topic& topic, StoredRecord& r)
{
    r.unit = m.level("unit");
    r.slave = static_cast<int>(m.whole("slave", 1, 247));
    r.device_id = m.whole("device_id", 0, 0xFFFFFFFFLL);
    r.local_time = m.text("local_time", kMaxTimeLength);
    r.clock_ok = m.flag("clock_synced");
    const std::string* text = m.string_member("record");
    if (!m.ok()) return;
    const std::optional<std::vector<unsigned char>> body =
        text->size() == kRecordBase64Length ? base64_decode(*text) : std::nullopt;
    if (!body || body->size() != contract::kRecordSize)
        return m.fail(Refusal::BadRecord, "record", "not base64 of " + std::to_string(contract::kRecordSize) + " bytes");
    if (r.unit != topic.unit) return m.fail(Refusal::WrongTopic, "unit", "not the topic's unit");
    r.body = *body;
}

void read_event(Members& m, const Topic& topic, StoredEvent& e)
{
    e.unit = m.has("unit") ? m.level("unit") : std::string();
    e.kind = m.text("kind", kMaxKindLength);
    const Json::Value& detail = m.object("detail");
    if (!m.ok()) return;
    if (level(e.unit) != topic.unit) return m.fail(Refusal::WrongTopic, "unit", "not the topic's unit");
    e.detail = compact_json(detail);
}

// The compact form's pieces, written and read.
constexpr unsigned char kReplayFlag = 1;
constexpr unsigned char kClockFlag = 2;
void put_varint(std::string& out, uint64_t v)
{
    for (; v >= 0x80; v >>= 7) out += static_cast<char>(0x80 | (v & 0x7F));
    out += static_cast<char>(v);
}

void put_text(std::string& out, const std::string& text)
{
    out += static_cast<char>(std::min<std::size_t>(text.size(), 255));
    out.append(text, 0, 255);
}

// The reads of a compact message: each bounded by what is left, the first
// failure kept in `refused`.
class CompactReader {
public:
    CompactReader(const unsigned char* at, std::size_t length, Refused& refused)
        : at_(at), end_(at + length), refused_(refused)
    {
    }

    bool ok() const { return ok_; }
    const unsigned char* at() const { return at_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

    unsigned char byte(const char* name)
    {
        if (!ok_ || at_ == end_) return fail(Refusal::BadMember, name, "cut short"), 0;
        return *at_++;
    }

    int64_t whole(const char* name, int64_t low, int64_t high)
    {
        uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            const unsigned char b = byte(name);
            if (!ok_) return 0;
            if (shift == 63 && b > 1) return fail(Refusal::OutOfRange, name, "past 64 bits"), 0;
            v |= uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80)) break;
            if (shift == 63) return fail(Refusal::OutOfRange, name, "past 64 bits"), 0;
        }
        if (v > static_cast<uint64_t>(high) || static_cast<int64_t>(v) < low)
            return fail(Refusal::OutOfRange, name, "not " + std::to_string(low) + " to " + std::to_string(high)), 0;
        return static_cast<int64_t>(v);
    }

    std::string text(const char* name, std::size_t max_length)
    {
        const std::size_t size = byte(name);
        if (!ok_) return {};
        if (size == 0 || size > max_length)
            return fail(Refusal::OutOfRange, name, "not 1 to " + std::to_string(max_length) + " characters"), std::string();
        if (size > left()) return fail(Refusal::BadMember, name, "cut short"), std::string();
        std::string out(reinterpret_cast<const char*>(at_), size);
        at_ += size;
        return out;
    }

    void fail(Refusal reason, const char* name, const std::string& why)
    {
        if (ok_) refuse(refused_, reason, std::string(name) + ": " + why);
        ok_ = false;
    }

private:
    const unsigned char* at_;
    const unsigned char* end_;
    Refused& refused_;
    bool ok_ = true;
};

// One record's bytes from a zstd frame that says it holds exactly that
// many: a frame claiming more is refused before anything is unpacked.
std::optional<std::vector<unsigned char>> unpack_body(const unsigned char* frame, std::size_t size)
{
    struct Context {
        ZSTD_DCtx* context = ZSTD_createDCtx();
        ZSTD_DDict* dictionary = ZSTD_createDDict(kRecordDictionary.data(), kRecordDictionary.size());
        ~Context()
        {
            ZSTD_freeDDict(dictionary);
            ZSTD_freeDCtx(context);
        }
    };
    thread_local Context zstd;
    if (!zstd.context || !zstd.dictionary) return std::nullopt;
    if (ZSTD_getFrameContentSize(frame, size) != contract::kRecordSize) return std::nullopt;
    std::vector<unsigned char> body(contract::kRecordSize);
    const std::size_t got = ZSTD_decompress_usingDDict(zstd.context, body.data(), body.size(), frame, size, zstd.dictionary);
    if (ZSTD_isError(got) || got != contract::kRecordSize) return std::nullopt;
    return body;
}

std::optional<Received> read_compact(const Topic& topic, const unsigned char* payload, std::size_t length,
                                     Refused& refused)
{
    if (length > kMaxPayloadBytes) {
        refuse(refused, Refusal::TooLarge, "not 1 to " + std::to_string(kMaxPayloadBytes) + " bytes");
        return std::nullopt;
    }
    if (length < sizeof kCompactMagic || !std::equal(std::begin(kCompactMagic), std::end(kCompactMagic), payload)) {
        refuse(refused, Refusal::NotJson, "neither JSON nor a compact record of a known form");
        return std::nullopt;
    }
    CompactReader m(payload + sizeof kCompactMagic, length - sizeof kCompactMagic, refused);
    Received out;
    out.kind = Received::Kind::Record;
    StoredRecord& r = out.record;
    const unsigned char flags = m.byte("flags");
    if (m.ok() && (flags & ~(kReplayFlag | kClockFlag))) m.fail(Refusal::BadMember, "flags", "unknown bits");
    const std::string store = m.text("store", kMaxStoreIdLength);
    if (m.ok() && !is_topic_level(store)) m.fail(Refusal::OutOfRange, "store", "not one topic level");
    r.seq = m.whole("seq", 1, kMaxSeq);
    const int64_t behind = m.whole("unconfirmed_from", 0, kMaxSeq);
    r.ts_ms = m.whole("time", 0, kMaxTimeMs);
    r.slave = static_cast<int>(m.whole("slave", 1, 247));
    r.device_id = m.whole("device_id", 0, 0xFFFFFFFFLL);
    r.local_time = m.text("local_time", kMaxTimeLength);
    if (m.ok() && behind >= r.seq) m.fail(Refusal::OutOfRange, "unconfirmed_from", "past the message's seq");
    if (!m.ok()) return std::nullopt;
    std::optional<std::vector<unsigned char>> body = unpack_body(m.at(), m.left());
    if (!body) {
        refuse(refused, Refusal::BadRecord, "record: not a zstd frame of " + std::to_string(contract::kRecordSize) + " bytes");
        return std::nullopt;
    }
    out.origin = {topic.site, store, r.seq - behind};
    out.replay = flags & kReplayFlag;
    r.clock_ok = flags & kClockFlag;
    r.unit = topic.unit;
    r.body = std::move(*body);
    return out;
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

std::string compact_record_payload(const StoredRecord& r, const Origin& origin, bool replay)
{
    struct Context {
        ZSTD_CCtx* context = ZSTD_createCCtx();
        ZSTD_CDict* dictionary = ZSTD_createCDict(kRecordDictionary.data(), kRecordDictionary.size(), kCompactLevel);
        ~Context()
        {
            ZSTD_freeCDict(dictionary);
            ZSTD_freeCCtx(context);
        }
    };
    thread_local Context zstd;
    std::string out(reinterpret_cast<const char*>(kCompactMagic), sizeof kCompactMagic);
    out += static_cast<char>((replay ? kReplayFlag : 0) | (r.clock_ok ? kClockFlag : 0));
    put_text(out, origin.store);
    put_varint(out, static_cast<uint64_t>(r.seq));
    put_varint(out, static_cast<uint64_t>(std::max<int64_t>(0, r.seq - origin.unconfirmed_from)));
    put_varint(out, static_cast<uint64_t>(std::max<int64_t>(0, r.ts_ms)));
    put_varint(out, static_cast<uint64_t>(r.slave));
    put_varint(out, static_cast<uint64_t>(r.device_id));
    put_text(out, r.local_time);
    const std::size_t head = out.size();
    out.resize(head + ZSTD_compressBound(r.body.size()));
    const std::size_t packed = ZSTD_compress_usingCDict(zstd.context, &out[head], out.size() - head, r.body.data(),
                                                        r.body.size(), zstd.dictionary);
    out.resize(ZSTD_isError(packed) ? head : head + packed);
    return out;
}

std::string event_payload(const StoredEvent& e, const Origin& origin, bool replay)
{
    Json::Value v = origin_members(origin, e.seq, e.ts_ms, replay);
    v["unit"] = e.unit.empty() ? Json::Value() : Json::Value(e.unit);
    v["kind"] = e.kind;
    Refused unused;
    const std::optional<Json::Value> parsed = read_object(e.detail.data(), e.detail.size(), unused);
    v["detail"] = parsed ? *parsed : Json::Value(Json::objectValue);
    return compact_json(v);
}

Json::Value status_message(const StoredRecord& r, const Origin& origin, const Json::Value& summary)
{
    Json::Value v(Json::objectValue);
    v["site"] = origin.site;
    v["unit"] = r.unit;
    v["health"] = state_word(UnitState::Answering);
    v["seq"] = Json::Int64{r.seq};
    v["time"] = iso8601_utc_ms(r.ts_ms);
    v["summary"] = summary;
    return v;
}

Json::Value lost_status_message(Json::Value last, const std::string& site, const StoredEvent& lost)
{
    if (!last.isObject()) last = Json::Value(Json::objectValue);
    last["site"] = site;
    last["unit"] = lost.unit;
    last["health"] = state_word(UnitState::Lost);
    last["lost_since"] = iso8601_utc_ms(lost.ts_ms);
    return last;
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

std::optional<Confirm> parse_confirm(const void* payload, std::size_t length, Refused& refused) noexcept
{
    try {
        const std::optional<Json::Value> v = read_object(payload, length, refused);
        if (!v) return std::nullopt;
        Members m(*v, refused);
        Confirm confirm;
        confirm.store = m.level("store");
        confirm.record_seq = m.whole("record_seq", 0, kMaxSeq);
        confirm.event_seq = m.whole("event_seq", 0, kMaxSeq);
        if (!m.ok()) return std::nullopt;
        return confirm;
    } catch (...) {
        refused.reason = Refusal::NotJson;
        refused.why = "unreadable";
        return std::nullopt;
    }
}

std::optional<Received> parse_received(const Topic& topic, const void* payload, std::size_t length,
                                       Refused& refused) noexcept
{
    try {
        if (topic.kind != TopicKind::Record && topic.kind != TopicKind::Event) {
            refuse(refused, Refusal::WrongTopic, "not a record or event topic");
            return std::nullopt;
        }
        Received out;
        const auto* bytes = static_cast<const unsigned char*>(payload);
        if (topic.kind == TopicKind::Record && length > 0 && bytes && bytes[0] == kCompactMagic[0])
            return read_compact(topic, bytes, length, refused);
        if (topic.kind == TopicKind::Record) {
            std::vector<flat_json::Member> members;
            if (!read_flat(payload, length, members, refused)) return std::nullopt;
            FlatMembers m(members, refused);
            out.kind = Received::Kind::Record;
            read_common(m, topic, out);
            if (m.ok()) read_record(m, topic, out.record);
            if (!m.ok()) return std::nullopt;
            return out;
        }
        const std::optional<Json::Value> v = read_object(payload, length, refused);
        if (!v) return std::nullopt;
        Members m(*v, refused);
        out.kind = Received::Kind::Event;
        read_common(m, topic, out);
        if (m.ok()) read_event(m, topic, out.event);
        if (!m.ok()) return std::nullopt;
        return out;
    } catch (...) {
        refused.reason = Refusal::NotJson;
        refused.why = "unreadable";
        return std::nullopt;
    }
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
    static const std::array<int, 256> value = [] {
        std::array<int, 256> table{};
        table.fill(-1);
        for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
        return table;
    }();
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
