// The site file's reader: the example shipped for the service reads as
// meant, a relative store path is the site file's folder's, and the file's
// hash is SHA-256 as sha256sum gives it. Refusals are tested end to end
// (tests/e2e/test_serve.py), with the member paths the operator sees.
#include "agent/site_file.hpp"
#include "base/sha256.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The least a site file holds: one TCP line of one unit, its store at `store_path`.
Json::Value one_unit_site(const char* store_path)
{
    Json::Value root;
    root["site"] = "s";
    root["store"]["path"] = store_path;
    root["lines"][0]["link"]["type"] = "tcp";
    root["lines"][0]["units"][0]["slave"] = 1;
    root["lines"][0]["units"][0]["name"] = "u";
    return root;
}

TEST(SiteFile, TheShippedExampleReadsAsMeant)
{
    const agent::SiteFile site = agent::read_site_file(QM_SITE_EXAMPLE);
    EXPECT_EQ(site.site, "machine-room-1");
    EXPECT_EQ(site.store.path, "/var/lib/qmhost/store.db");
    ASSERT_EQ(site.lines.size(), 2u);
    EXPECT_EQ(site.lines[0].link.kind, LinkSettings::Kind::Rtu);
    EXPECT_EQ(site.lines[0].interval_s, 5.0);
    std::vector<std::pair<std::string, unsigned>> units;
    for (const agent::SiteLine& line : site.lines)
        for (const agent::SiteUnit& unit : line.units) units.emplace_back(unit.name, unit.device_id);
    EXPECT_EQ(units, (std::vector<std::pair<std::string, unsigned>>{{"crac-1", 1}, {"crac-2", 2}, {"crac-3", 30}}));
    const Json::Value config = agent::unit_device_config(site.lines[0], site.lines[0].units[1]);
    EXPECT_EQ(config["link"]["slave"].asInt(), 2);
    EXPECT_EQ(config["appSetting"]["b_mode"].asInt(), 2);
    EXPECT_TRUE(site.http.enabled);
    EXPECT_EQ(site.http.address + ":" + std::to_string(site.http.port), "127.0.0.1:8470");
    EXPECT_EQ(site.http.control_token_file, "/etc/qmhost/control-token");
}

TEST(SiteFile, RelativeStorePathIsTheSiteFilesFolders)
{
    Json::Value root = one_unit_site("data/store.db");
    EXPECT_EQ(agent::check_site(root, "/etc/qmhost").store.path, "/etc/qmhost/data/store.db");
    EXPECT_EQ(agent::check_site(root, "/etc/qmhost").store.keep_days, 30);
}

// What the driver reads from a unit's settings, checked as the driver
// would take it: a misspelt member or a mode it does not know is refused by
// its path, never passed on to fall back without a word.
TEST(SiteFile, DriverSettingsAreRefusedByPath)
{
    struct Case {
        const char* settings;
        const char* refusal;  // "" when accepted
    };
    const Case cases[] = {
        {R"({"appSetting": {"b_mode": 2}})", ""},
        {R"({"appSetting": {"b_mode": "1"}})", ""},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"k": {"NMAlarmID": "1", "ID": 2, "SignalNumber": "3"}}})",
         ""},
        {R"({"appSeting": {"b_mode": 2}})", "settings.appSeting: unknown member (known here: appSetting, thresholdSetting)"},
        {R"({"appSetting": {"b_mdoe": 2}})", "settings.appSetting.b_mdoe: unknown member (known here: b_mode)"},
        {R"({"appSetting": {"b_mode": 7}})", "settings.appSetting.b_mode: 7 is not an alarm code mode (1 to 3)"},
        {R"({"appSetting": {"b_mode": "2a"}})", "settings.appSetting.b_mode: \"2a\" is not an alarm code mode (1 to 3)"},
        {R"({"appSetting": {"b_mode": 1.5}})", "settings.appSetting.b_mode: 1.5 is not an alarm code mode (1 to 3)"},
        {R"({"appSetting": 2})", "settings.appSetting: 2 is not an object"},
        {R"({"appSetting": {"b_mode": 2}, "thresholdSetting": {}})",
         "settings.thresholdSetting: read only when appSetting.b_mode is 3 (here 2)"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [1]})",
         "settings.thresholdSetting: [1] is not an object of alarm rules by key"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"k": {"ID": "1", "SignalNumber": "3"}}})",
         "settings.thresholdSetting.k.NMAlarmID: missing"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"k": {"NMAlarmID": [1], "ID": "1", "SignalNumber": "3"}}})",
         "settings.thresholdSetting.k.NMAlarmID: [1] is not a text or a number"},
    };
    for (const Case& c : cases) {
        Json::Value root = one_unit_site("/tmp/store.db");
        Json::Reader().parse(c.settings, root["lines"][0]["units"][0]["settings"]);
        std::string refusal;
        try {
            agent::check_site(root, "/");
        } catch (const agent::SiteFileError& e) {
            refusal = e.what();
        }
        EXPECT_EQ(refusal, *c.refusal ? std::string("lines[0].units[0].") + c.refusal : "") << c.settings;
    }
}

TEST(SiteFile, CommitIntervalDefaultsToASecondWithinItsRange)
{
    Json::Value root = one_unit_site("store.db");
    EXPECT_EQ(agent::check_site(root, "/x").store.commit_interval_ms, 1000);
    for (const int ms : {0, 60000}) {
        root["store"]["commit_interval_ms"] = ms;
        EXPECT_EQ(agent::check_site(root, "/x").store.commit_interval_ms, ms);
    }
    for (const Json::Value& refused : {Json::Value(-1), Json::Value(60001), Json::Value("1000")}) {
        root["store"]["commit_interval_ms"] = refused;
        EXPECT_ANY_THROW(agent::check_site(root, "/x")) << refused;
    }
}

TEST(SiteFile, HashIsSha256)
{
    // FIPS 180-4's examples: one block, an empty message, and two blocks.
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// A unit's "keys": the values it publishes, each a key of the value table,
// refused by its place in the list otherwise.
TEST(SiteFile, UnitKeysAreValueKeys)
{
    Json::Value root = one_unit_site("store.db");
    EXPECT_TRUE(agent::check_site(root, "/").lines[0].units[0].keys.all());
    const struct {
        const char* keys;  // JSON
        const char* refusal;  // empty: accepted
    } cases[] = {
        {R"(["unit.mode", "runtime.fan"])", ""},
        {R"(["air.retrun.temperature"])", "lines[0].units[0].keys[0]: \"air.retrun.temperature\" is not a value key"},
        {R"(["unit.mode", 7])", "lines[0].units[0].keys[1]: 7 is not a value key"},
        {R"(["unit.mode", "unit.mode"])", "lines[0].units[0].keys[1]: \"unit.mode\" is given twice"},
        {R"([])", "lines[0].units[0].keys: [] is not a list of 1 to 136 value keys"},
        {R"("unit.mode")", "lines[0].units[0].keys: \"unit.mode\" is not a list"},
    };
    for (const auto& c : cases) {
        Json::Reader().parse(c.keys, root["lines"][0]["units"][0]["keys"]);
        try {
            const agent::ShownKeys keys = agent::check_site(root, "/").lines[0].units[0].keys;
            EXPECT_STREQ(c.refusal, "") << c.keys;
            EXPECT_EQ(keys.count(), 2u);
            EXPECT_TRUE(keys.test(agent::kUnitMode));
        } catch (const agent::SiteFileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
            EXPECT_STRNE(c.refusal, "") << e.what();
        }
    }
}

// The "notify" member: a command run without a shell, so an absolute path;
// event kinds it can tell; a hold-off only where an opposite takes an event back.
TEST(SiteFile, NotifyIsRefusedByPath)
{
    const struct {
        const char* notify;   // JSON
        const char* refusal;  // empty: accepted
    } cases[] = {
        {R"({"command": ["/usr/bin/curl", "-d@-"], "events": ["alarm_raised", "unit_lost"],
            "hold_s": {"unit_lost": 60}, "timeout_s": 0.5, "retry_s": 10})", ""},
        {R"({"command": ["curl"], "events": ["alarm_raised"]})",
         "notify.command[0]: \"curl\" is not an absolute path: the command runs without a shell or a search path"},
        {R"({"command": ["/bin/true", 3], "events": ["alarm_raised"]})", "notify.command[1]: 3 is not an argument"},
        {R"({"command": ["/bin/true"], "events": ["alarm_rasied"]})", "notify.events[0]: \"alarm_rasied\" is not an event kind"},
        {R"({"command": ["/bin/true"], "events": ["notify_failed"]})", "notify.events[0]: notify_failed is never told"},
        {R"({"command": ["/bin/true"], "events": ["control"], "hold_s": {"control": 5}})",
         "notify.hold_s: \"control\": only alarm_raised, alarm_cleared, unit_lost, unit_back are held back"},
        {R"({"command": ["/bin/true"], "events": ["unit_back"], "hold_s": {"unit_lost": 5}})",
         "notify.hold_s.unit_lost: unit_lost is not in notify.events"},
        {R"({"command": ["/bin/true"], "events": ["unit_lost"], "hold_s": {"unit_lost": -1}})",
         "notify.hold_s.unit_lost: -1 is not a number of seconds (0 to 86400)"},
    };
    for (const auto& c : cases) {
        Json::Value root = one_unit_site("store.db");
        ASSERT_TRUE(Json::Reader().parse(c.notify, root["notify"])) << c.notify;
        try {
            const agent::SiteFile site = agent::check_site(root, "/");
            EXPECT_STREQ(c.refusal, "") << c.notify;
            ASSERT_TRUE(site.notify);
            EXPECT_EQ(site.notify->hold_ms.at("unit_lost"), 60000);
            EXPECT_EQ(site.notify->timeout_ms, 500);
        } catch (const agent::SiteFileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
            EXPECT_STRNE(c.refusal, "") << e.what();
        }
    }
}

}  // namespace
