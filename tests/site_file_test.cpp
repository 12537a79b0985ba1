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
    Json::Value root;
    root["site"] = "s";
    root["store"]["path"] = "data/store.db";
    root["lines"][0]["link"]["type"] = "tcp";
    root["lines"][0]["units"][0]["slave"] = 1;
    root["lines"][0]["units"][0]["name"] = "u";
    EXPECT_EQ(agent::check_site(root, "/etc/qmhost").store.path, "/etc/qmhost/data/store.db");
    EXPECT_EQ(agent::check_site(root, "/etc/qmhost").store.keep_days, 30);
}

TEST(SiteFile, CommitIntervalDefaultsToASecondWithinItsRange)
{
    Json::Value root;
    root["site"] = "s";
    root["store"]["path"] = "store.db";
    root["lines"][0]["link"]["type"] = "tcp";
    root["lines"][0]["units"][0]["slave"] = 1;
    root["lines"][0]["units"][0]["name"] = "u";
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

}  // namespace
