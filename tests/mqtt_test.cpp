// The MQTT side's pure parts: the "mqtt" member's checks, and the payloads
// as the ingest reads back what the publisher writes.
#include "agent/compact_record.hpp"
#include "agent/events.hpp"
#include "agent/flat_json.hpp"
#include "agent/ingest_store.hpp"
#include "agent/mqtt_messages.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/site_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include <sys/stat.h>

namespace {

Json::Value parse(const std::string& text)
{
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

class MqttSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = ::testing::TempDir();
        std::ofstream(folder_ + "/pw") << "s3cret\nsecond line\n";
        std::ofstream(folder_ + "/ca.pem") << "-----\n";
        std::ofstream(folder_ + "/empty");
        // Secrets as the agent takes them; the certificate readable by all.
        ::chmod((folder_ + "/pw").c_str(), 0600);
        ::chmod((folder_ + "/empty").c_str(), 0600);
        ::chmod((folder_ + "/ca.pem").c_str(), 0644);
        ::mkfifo((folder_ + "/fifo").c_str(), 0644);  // no writer: opening it to read would block
    }
    agent::MqttSettings check(const std::string& json)
    {
        return agent::check_mqtt_settings(parse(json), "mqtt", folder_);
    }
    std::string folder_;
};

TEST_F(MqttSettingsTest, DefaultsAndThePasswordFromItsFile)
{
    const agent::MqttSettings s = check(R"({"host": "broker.example", "username": "site-1", "password_file": "pw"})");
    EXPECT_EQ(s.port, 1883);
    EXPECT_EQ(s.topic_prefix, "qm/v1");
    EXPECT_EQ(s.keepalive_s, 30);
    EXPECT_EQ(s.inflight, 16);
    EXPECT_EQ(s.password, "s3cret");
    EXPECT_FALSE(s.tls);
    const agent::MqttSettings tls = check(R"({"host": "localhost", "tls": {"ca_file": "ca.pem"}})");
    EXPECT_EQ(tls.port, 8883);
    EXPECT_EQ(tls.tls->ca_file, folder_ + "/ca.pem");
}

TEST_F(MqttSettingsTest, RefusalsNameTheMember)
{
    const struct {
        const char* json;
        const char* message_starts;
    } cases[] = {
        {R"({"port": 1883})", "mqtt.host: missing"},
        {R"({"host": "h", "keepalive_s": 0})", "mqtt.keepalive_s: 0 is not a keepalive"},
        {R"({"host": "h", "keepalive_s": 0.05})", "mqtt.keepalive_s: 0.05 is not a keepalive"},
        {R"({"host": "h", "inflight": 0})", "mqtt.inflight: 0 is not"},
        {R"({"host": "h", "port": 70000})", "mqtt.port: 70000 is not a port"},
        {R"({"host": "h", "qos": 1})", "mqtt.qos: unknown member"},
        {R"({"host": "h", "topic_prefix": "qm/#"})", "mqtt.topic_prefix:"},
        {R"({"host": "h", "topic_prefix": "/qm"})", "mqtt.topic_prefix:"},
        {R"({"host": "h", "password_file": "pw"})", "mqtt.password_file: a password needs a \"username\""},
        {R"({"host": "h", "username": "u", "password_file": "missing"})", "mqtt.password_file: cannot read"},
        {R"({"host": "h", "username": "u", "password_file": "empty"})", "mqtt.password_file:"},
        {R"({"host": "h", "username": "u", "password_file": "/dev/zero"})", "mqtt.password_file: /dev/zero is a device"},
        {R"({"host": "h", "tls": {}})", "mqtt.tls.ca_file: missing"},
        {R"({"host": "h", "tls": {"ca_file": "fifo"}})", "mqtt.tls.ca_file: "},
        {R"({"host": "h", "tls": {"ca_file": "ca.pem", "cert_file": "ca.pem"}})", "mqtt.tls.key_file: missing"},
        {R"({"host": "h", "tls": {"ca_file": "ca.pem", "cert_file": "ca.pem", "key_file": "ca.pem"}})",
         "mqtt.tls.key_file: "},
        {R"({"host": "h", "client_id": "has space"})", "mqtt.client_id:"},
        {R"({"host": "h", "encoding": "zstd"})", "mqtt.encoding: \"zstd\" is not \"json\" or \"compact\""},
    };
    for (const auto& c : cases) {
        try {
            check(c.json);
            ADD_FAILURE() << c.json << " was accepted";
        } catch (const agent::SiteFileError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message_starts, 0), 0u) << e.what();
            EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos);
        }
    }
}

// The site file reads the member with these checks; without it the agent only stores.
TEST_F(MqttSettingsTest, TheSiteFileCarriesTheMember)
{
    const std::string site = R"({"site": "s", "store": {"path": "s.db"},
        "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": 502}, "units": [{"slave": 1, "name": "u"}]}])";
    EXPECT_FALSE(agent::check_site(parse(site + "}"), folder_).mqtt);
    const auto with = agent::check_site(parse(site + R"(, "mqtt": {"host": "127.0.0.1", "inflight": 4}})"), folder_);
    ASSERT_TRUE(with.mqtt);
    EXPECT_EQ(with.mqtt->inflight, 4);
    EXPECT_THROW(agent::check_site(parse(site + R"(, "mqtt": {"host": "127.0.0.1", "qos": 1}})"), folder_),
                 agent::SiteFileError);
}

agent::StoredRecord sample_record()
{
    agent::StoredRecord r;
    r.seq = 42;
    r.unit = "crac-1.a";
    r.slave = 7;
    r.device_id = 3;
    r.ts_ms = 1796724137123;
    r.local_time = "2026-12-08T18:02:17";
    r.clock_ok = true;
    for (int i = 0; i < 459; ++i) r.body.push_back(static_cast<unsigned char>(i * 7));
    return r;
}

TEST(MqttMessages, ARecordReadsBackAsItWasSent)
{
    const agent::mqtt::Origin origin{"site-1", "0f8e4b2c-0000-4000-8000-000000000001", 40};
    const std::string payload = agent::mqtt::record_payload(sample_record(), origin, parse(R"({"on": true})"), true);
    const Json::Value v = parse(payload);
    EXPECT_EQ(v["time"].asString(), "2026-12-08T10:02:17.123Z");
    EXPECT_EQ(v["summary"]["on"].asBool(), true);
    agent::mqtt::Refused why;
    const agent::mqtt::Topic topic{agent::mqtt::TopicKind::Record, "site-1", "crac-1.a"};
    const auto back = agent::mqtt::parse_received(topic, payload.data(), payload.size(), why);
    ASSERT_TRUE(back) << why.why;
    EXPECT_EQ(back->record.body, sample_record().body);
    EXPECT_EQ(back->record.seq, 42);
    EXPECT_EQ(back->record.ts_ms, 1796724137123);
    EXPECT_EQ(back->origin.unconfirmed_from, 40);
    EXPECT_TRUE(back->replay);
    EXPECT_EQ(agent::mqtt::record_topic("qm/v1", "site-1", "crac-1.a"), "qm/v1/site-1/crac-1.a/record");
    EXPECT_EQ(agent::mqtt::event_topic("qm/v1", "site-1", ""), "qm/v1/site-1/agent/event");
}

// What any client of the broker might send: each refused with its reason,
// nothing thrown. A payload is a good one with one member's text put in its
// place (member set), or the text itself (member empty).
TEST(MqttMessages, HostileMessagesAreRefusedWithTheirReason)
{
    using agent::Refusal;
    using agent::mqtt::TopicKind;
    const std::string record = agent::mqtt::record_payload(sample_record(), {"site-1", "id-1", 40}, {}, false);
    agent::StoredEvent event;
    event.seq = 5;
    event.ts_ms = 1796724137123;
    event.kind = "unit_lost";
    event.detail = "{}";
    const std::string own_event = agent::mqtt::event_payload(event, {"site-1", "id-1", 1}, false);
    const std::string confirm = R"({"store":"id-1","record_seq":3,"event_seq":0})";
    const std::string deep = std::string(1001, '[') + std::string(1001, ']');
    const std::string deep_member = [] {
        std::string text;
        for (int i = 0; i < 1100; ++i) text += R"({"a":)";
        return text + "1" + std::string(1100, '}');
    }();
    const std::string base64_460 = agent::mqtt::base64_encode(std::vector<unsigned char>(460));
    const std::string base64_47k = agent::mqtt::base64_encode(std::vector<unsigned char>(47000));
    const std::string base64_10 = agent::mqtt::base64_encode(std::vector<unsigned char>(10));
    const struct {
        TopicKind kind;  // Confirm: the agent's reader; Record, Event: the ingest's
        const char* member;
        std::string text;
        Refusal reason;
    } cases[] = {
        {TopicKind::Confirm, "record_seq", "9223372036854775808", Refusal::OutOfRange},
        {TopicKind::Confirm, "record_seq", "18446744073709551615", Refusal::OutOfRange},
        {TopicKind::Confirm, "record_seq", "1e19", Refusal::BadMember},
        {TopicKind::Confirm, "event_seq", "9007199254740993", Refusal::OutOfRange},
        {TopicKind::Confirm, "event_seq", "-1", Refusal::OutOfRange},
        {TopicKind::Confirm, "event_seq", "2.5", Refusal::BadMember},
        {TopicKind::Confirm, "store", R"("a/b")", Refusal::OutOfRange},
        {TopicKind::Confirm, "store", "[" + deep + "]", Refusal::TooDeep},
        {TopicKind::Confirm, "", deep, Refusal::TooDeep},
        {TopicKind::Confirm, "", "", Refusal::TooLarge},
        {TopicKind::Confirm, "", "{" + std::string(70000, ' ') + "}", Refusal::TooLarge},
        {TopicKind::Confirm, "", "[]", Refusal::NotJson},
        {TopicKind::Confirm, "", "\xff\xfe", Refusal::NotJson},
        {TopicKind::Confirm, "", R"({"store":"id-1","record_seq":1,"event_seq":1,"store":"id-2"})", Refusal::NotJson},
        {TopicKind::Confirm, "", R"({"store":"[[[[[[[[[[[[[[[[[[[[[[[[[[","record_seq":1})", Refusal::BadMember},
        {TopicKind::Record, "", deep_member, Refusal::TooDeep},
        {TopicKind::Record, "", R"({"a":1} x)", Refusal::NotJson},
        {TopicKind::Record, "seq", "9223372036854775808", Refusal::OutOfRange},
        {TopicKind::Record, "seq", "18446744073709551615", Refusal::OutOfRange},
        {TopicKind::Record, "seq", "0", Refusal::OutOfRange},
        {TopicKind::Record, "seq", "1e19", Refusal::BadMember},
        {TopicKind::Record, "seq", R"("42")", Refusal::BadMember},
        {TopicKind::Record, "device_id", "9223372036854775808", Refusal::OutOfRange},
        {TopicKind::Record, "device_id", "4294967296", Refusal::OutOfRange},
        {TopicKind::Record, "unconfirmed_from", "9223372036854775807", Refusal::OutOfRange},
        {TopicKind::Record, "unconfirmed_from", "43", Refusal::OutOfRange},  // past the message's own seq
        {TopicKind::Record, "unconfirmed_from", "0", Refusal::OutOfRange},
        {TopicKind::Record, "slave", "2147483648", Refusal::OutOfRange},
        {TopicKind::Record, "slave", "248", Refusal::OutOfRange},
        {TopicKind::Record, "record", R"("")", Refusal::BadRecord},
        {TopicKind::Record, "record", R"("not base64!")", Refusal::BadRecord},
        {TopicKind::Record, "record", '"' + base64_10 + '"', Refusal::BadRecord},
        {TopicKind::Record, "record", '"' + base64_460 + '"', Refusal::BadRecord},
        {TopicKind::Record, "record", '"' + base64_47k + '"', Refusal::BadRecord},
        {TopicKind::Record, "record", "null", Refusal::BadMember},
        {TopicKind::Record, "site", R"("site-2")", Refusal::WrongTopic},
        {TopicKind::Record, "unit", R"("crac-2")", Refusal::WrongTopic},
        {TopicKind::Record, "site", R"("+")", Refusal::OutOfRange},
        {TopicKind::Record, "store", R"("")", Refusal::OutOfRange},
        {TopicKind::Record, "time", R"("2026-12-08T10:02:17")", Refusal::OutOfRange},
        {TopicKind::Record, "time", R"("1013-12-08T10:02:17.123Z")", Refusal::OutOfRange},  // the compact form's range
        {TopicKind::Record, "replay", "1", Refusal::BadMember},
        {TopicKind::Record, "unit", "null", Refusal::BadMember},
        {TopicKind::Event, "unit", R"("crac-1.a")", Refusal::WrongTopic},  // on the agent's own level
        {TopicKind::Event, "detail", "[]", Refusal::BadMember},
        {TopicKind::Event, "kind", R"("")", Refusal::OutOfRange},
        {TopicKind::Status, "", own_event, Refusal::WrongTopic},
    };
    for (const auto& c : cases) {
        const std::string& good = c.kind == TopicKind::Confirm ? confirm : c.kind == TopicKind::Record ? record : own_event;
        std::string text = c.text;
        if (*c.member) {
            Json::Value rest = parse(good);
            rest.removeMember(c.member);
            text = "{\"" + std::string(c.member) + "\":" + c.text + "," + agent::compact_json(rest).substr(1);
        }
        agent::mqtt::Refused why;
        const bool read = c.kind == TopicKind::Confirm
                              ? agent::mqtt::parse_confirm(text.data(), text.size(), why).has_value()
                              : agent::mqtt::parse_received({c.kind, "site-1", c.kind == TopicKind::Record ? "crac-1.a" : "agent"},
                                                            text.data(), text.size(), why)
                                    .has_value();
        EXPECT_FALSE(read) << c.member << " " << text.substr(0, 80);
        EXPECT_EQ(agent::refusal_word(why.reason), std::string(agent::refusal_word(c.reason)))
            << c.member << " " << text.substr(0, 80) << ": " << why.why;
    }
    agent::mqtt::Refused why;
    EXPECT_TRUE(agent::mqtt::parse_confirm(confirm.data(), confirm.size(), why));
    EXPECT_TRUE(agent::mqtt::parse_received({TopicKind::Event, "site-1", "agent"}, own_event.data(), own_event.size(), why))
        << why.why;
}

// A compact record reads back as its JSON message does; cut anywhere or
// changed where it matters, it is refused with its reason, never read past.
TEST(MqttMessages, ACompactRecordReadsBackAndRefusesItsFaults)
{
    using agent::Refusal;
    const agent::mqtt::Origin origin{"site-1", "0f8e4b2c-0000-4000-8000-000000000001", 40};
    const agent::mqtt::Topic topic{agent::mqtt::TopicKind::Record, "site-1", "crac-1.a"};
    const std::string compact = agent::mqtt::compact_record_payload(sample_record(), origin, true);
    const std::string json = agent::mqtt::record_payload(sample_record(), origin, Json::Value(), true);
    agent::mqtt::Refused why;
    const auto a = agent::mqtt::parse_received(topic, compact.data(), compact.size(), why);
    ASSERT_TRUE(a) << why.why;
    const auto b = agent::mqtt::parse_received(topic, json.data(), json.size(), why);
    ASSERT_TRUE(b);
    EXPECT_EQ(a->record.body, b->record.body);
    EXPECT_EQ(std::tie(a->record.seq, a->record.ts_ms, a->record.unit, a->record.slave, a->record.device_id,
                       a->record.local_time, a->record.clock_ok, a->replay, a->origin.store, a->origin.unconfirmed_from),
              std::tie(b->record.seq, b->record.ts_ms, b->record.unit, b->record.slave, b->record.device_id,
                       b->record.local_time, b->record.clock_ok, b->replay, b->origin.store, b->origin.unconfirmed_from));
    for (std::size_t cut = 1; cut < compact.size(); ++cut)
        EXPECT_FALSE(agent::mqtt::parse_received(topic, compact.data(), cut, why)) << cut;

    // Offsets of the form's fields in this message: magic 4, flags, the
    // store's length and its 37 bytes, seq 42 (one byte), then 2 behind.
    const std::size_t flags = 4, store = 5, seq = 5 + 1 + origin.store.size(), behind = seq + 1;
    const auto changed = [&](std::size_t at, std::string with) { return compact.substr(0, at) + with + compact.substr(at + 1); };
    std::string huge_frame = compact;
    huge_frame.resize(compact.size() - 1);  // the frame's last byte gone
    const struct {
        std::string text;
        Refusal reason;
    } cases[] = {
        {changed(3, "\x02"), Refusal::NotJson},             // another form
        {changed(flags, "\x04"), Refusal::BadMember},        // unknown flag bits
        {changed(store, std::string(1, '\0')), Refusal::OutOfRange},
        {changed(store + 1, "/"), Refusal::OutOfRange},      // not one topic level
        {changed(seq, std::string(1, '\0')), Refusal::OutOfRange},
        {changed(behind, "\x2a"), Refusal::OutOfRange},      // unconfirmed_from at 0
        {changed(seq, "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f"), Refusal::OutOfRange},
        {huge_frame, Refusal::BadRecord},
        {compact + "x", Refusal::BadRecord},
        {std::string(70000, '\0'), Refusal::TooLarge},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(agent::mqtt::parse_received(topic, c.text.data(), c.text.size(), why));
        EXPECT_EQ(agent::refusal_word(why.reason), std::string(agent::refusal_word(c.reason))) << why.why;
    }
    // A steady unit's record, against the dictionary, is a few dozen bytes.
    agent::StoredRecord steady = sample_record();
    steady.body.assign(agent::mqtt::kRecordDictionary.begin(), agent::mqtt::kRecordDictionary.end());
    steady.body[20] ^= 1;
    EXPECT_LT(agent::mqtt::compact_record_payload(steady, origin, false).size(), 120u);
}

// The flat reader the ingest takes records through accepts what jsoncpp's
// strict reader accepts, and reads the same strings and whole numbers; it
// refuses the few forms beyond JSON's grammar that jsoncpp lets through.
TEST(FlatJson, AgreesWithTheStrictReader)
{
    const char* texts[] = {
        R"({"a":"x\u00e9\ud83d\ude00\n\/","b":-0,"c":[1,{"d":null}],"e":true})",
        R"( {"a" : 1 , "b":{"c":{"d":[[], {}]}}} )",
        R"({"a":1,"a":2})",                 // a name twice
        R"({"a":{"b":1,"b":2}})",           // twice below the top
        R"({"a":"\ud83d"})",                // a high surrogate alone
        R"({"a":"\ud83dx"})",
        R"({"a":"\x"})",                    // no such escape
        R"({"a":"\u12"})",
        R"({"a":1} {"b":2})",
        R"({"a":.5})", R"({"a":1e})", R"({"a":1E+2})",
        R"({"a":tru})", R"({"a":[1,]})", R"({"a":1,})", R"({,})", R"({"a"})", R"({"a":1)", R"({"a":"x)",
        R"({'a':1})", R"({"a":[1 2]})", "{\"a\":\"tab\there\"}", "{\"a\":1}\n",
        R"([1])", R"("a")", R"({})", "",
    };
    const char* lenient[] = {R"({"a":01})", R"({"a":1.})", R"({"a":-})", R"({"a":1/*c*/})"};
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> strict(builder.newCharReader());
    std::vector<agent::flat_json::Member> members;
    for (const std::string text : lenient) {
        Json::Value value;
        EXPECT_TRUE(strict->parse(text.data(), text.data() + text.size(), &value, nullptr)) << text;
        EXPECT_FALSE(agent::flat_json::read_object(text.data(), text.size(), members)) << text;
    }
    for (const std::string text : texts) {
        Json::Value value;
        const bool expected = strict->parse(text.data(), text.data() + text.size(), &value, nullptr) && value.isObject();
        EXPECT_EQ(agent::flat_json::read_object(text.data(), text.size(), members), expected) << text;
        for (const agent::flat_json::Member& m : members) {
            ASSERT_TRUE(value.isMember(m.name)) << text;
            if (m.kind == agent::flat_json::Kind::String) {
                EXPECT_EQ(m.text, value[m.name].asString()) << text;
            }
        }
    }
    const struct {
        const char* raw;
        agent::flat_json::Whole whole;
        int64_t value;
    } numbers[] = {
        {"0", agent::flat_json::Whole::Ok, 0},
        {"-9223372036854775808", agent::flat_json::Whole::Ok, INT64_MIN},
        {"9223372036854775807", agent::flat_json::Whole::Ok, INT64_MAX},
        {"9223372036854775808", agent::flat_json::Whole::OutOfInt64, 0},
        {"18446744073709551615", agent::flat_json::Whole::OutOfInt64, 0},
        {"18446744073709551616", agent::flat_json::Whole::NotWhole, 0},
        {"-9223372036854775809", agent::flat_json::Whole::NotWhole, 0},
    };
    for (const auto& n : numbers) {
        int64_t value = 0;
        EXPECT_EQ(agent::flat_json::whole_value(n.raw, value), n.whole) << n.raw;
        if (n.whole == agent::flat_json::Whole::Ok) {
            EXPECT_EQ(value, n.value) << n.raw;
        }
    }
}

// What a message or a stored detail carries is the unit's decimal, without a binary tail.
TEST(MqttMessages, DecimalsReadAsTheUnitMeansThem)
{
    Json::Value summary(Json::objectValue);
    summary["air.return.temperature"] = 312 / 10.0;
    summary["humidity"] = 0.1 + 0.2;
    EXPECT_EQ(agent::compact_json(summary), R"({"air.return.temperature":31.2,"humidity":0.3})");
}

TEST(MqttMessages, Base64RoundTripsEveryLength)
{
    for (std::size_t n = 0; n < 8; ++n) {
        std::vector<unsigned char> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(0xFF - 37 * i);
        EXPECT_EQ(agent::mqtt::base64_decode(agent::mqtt::base64_encode(bytes)), bytes) << n;
    }
    EXPECT_EQ(agent::mqtt::base64_encode({'M', 'a'}), "TWE=");
}

// The centre keeps each (store, seq) once: the same row again is a
// duplicate, another row under it is refused and the first stays; its client
// id is made once and kept in the file.
TEST(IngestStore, ARowUnlikeTheOneKeptUnderItsSeqIsRefused)
{
    const std::string path = ::testing::TempDir() + "/ingest-reuse.db";
    std::filesystem::remove(path);
    const auto row = [](int64_t seq, unsigned char fill, agent::mqtt::Received::Kind kind) {
        agent::mqtt::Received m;
        m.kind = kind;
        m.origin = {"site-1", "store-1", 1};
        m.record.seq = m.event.seq = seq;
        m.record.unit = m.event.unit = "u1";
        m.record.body.assign(459, fill);
        m.event.kind = "unit_lost";
        m.event.detail = std::string("{\"failed\":") + std::to_string(fill) + "}";
        return m;
    };
    using Kind = agent::mqtt::Received::Kind;
    std::string id;
    {
        agent::IngestStore store(path);
        id = store.client_id();
        agent::IngestTotals totals;
        store.commit({row(1, 1, Kind::Record), row(2, 1, Kind::Record), row(1, 3, Kind::Event)}, totals);
        const std::vector<agent::Confirmation> marks = store.commit(
            {row(1, 1, Kind::Record), row(2, 2, Kind::Record), row(1, 3, Kind::Event), row(1, 4, Kind::Event)},
            totals);
        EXPECT_EQ(totals.records, 2);
        EXPECT_EQ(totals.duplicates, 2);
        EXPECT_EQ(totals.reused, 2);
        EXPECT_EQ(totals.last_reused, "site-1's store store-1 sent event 1 again with other content: the first one "
                                      "kept stays");
        ASSERT_EQ(marks.size(), 1u);
        EXPECT_EQ(marks[0].confirm.record_seq, 2);
    }
    EXPECT_EQ(id.size(), 23u);
    EXPECT_EQ(id.rfind("qm-ingest-", 0), 0u);
    EXPECT_EQ(agent::IngestStore(path).client_id(), id);
    std::filesystem::remove(path);
}

}  // namespace
