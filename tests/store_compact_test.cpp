// The store's compact rows and group commit: every reader returns each body
// byte for byte (packed, raw, across keyframes, after removals, a recovery
// and a first-version store brought forward), a damaged frame is refused,
// and cycles handed in are committed together, none lost at a stop.
#include "agent/agent_stats.hpp"
#include "agent/outbox_reader.hpp"
#include "agent/shared_store.hpp"
#include "agent/sqlite.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/store_recovery.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

namespace {

using namespace agent;
namespace fs = std::filesystem;
using Body = std::vector<unsigned char>;

constexpr int64_t kT0 = 1796724000000;

struct TempStore {
    TempStore()
    {
        char name[] = "/tmp/qm_compact_XXXXXX";
        dir = mkdtemp(name);
        path = dir + "/store.db";
    }
    ~TempStore() { fs::remove_all(dir); }
    std::string dir, path;
};

StoreSettings settings(int max_mb = 256)
{
    StoreSettings s;
    s.site = "site-1";
    s.max_mb = max_mb;
    s.warn = [](const std::string&) {};
    return s;
}

// A unit's n-th body: steady (a clock cell ticks), drifting (a few cells
// wander), or noise (every byte changes); bodies of other sizes too.
Body body_of(const std::string& shape, int n)
{
    Body b(shape == "short" ? 17 : 459);
    uint64_t seed = 0x9E3779B97F4A7C15ULL * static_cast<uint64_t>(n + 1);
    for (std::size_t i = 0; i < b.size(); ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        b[i] = shape == "noise" ? static_cast<unsigned char>(seed >> 56) : static_cast<unsigned char>(i * 7);
    }
    if (b.size() > 40) {
        b[10] = static_cast<unsigned char>(n);  // seconds
        if (shape == "drift") b[30 + n % 8] = static_cast<unsigned char>(n / 3), b[200] ^= static_cast<unsigned char>(n);
    }
    return b;
}

const char* const kShapes[] = {"steady", "drift", "noise", "short"};

// Writes `cycles` cycles of one record per shape's unit; returns seq -> body.
std::map<int64_t, Body> write_units(Store& store, int cycles, int64_t first_seq = 1)
{
    std::map<int64_t, Body> written;
    int64_t seq = first_seq;
    for (int n = 0; n < cycles; ++n) {
        Cycle cycle{kT0 + n * 1000, {}, {}};
        for (const char* shape : kShapes) {
            cycle.records.push_back({shape, 1, 2, cycle.time_ms, "2026-12-08 18:00:00", true, 5156, body_of(shape, n)});
            written[seq++] = cycle.records.back().body;
        }
        EXPECT_TRUE(store.commit_cycle(cycle).committed);
    }
    return written;
}

// Every row each reader returns equals what was written under its seq.
void expect_read_back(const std::string& path, const std::map<int64_t, Body>& written, const char* when)
{
    std::size_t history = 0, outbox = 0;
    StoreReader reader(path);
    reader.each_record({}, [&](const StoredRecord& r) {
        EXPECT_EQ(r.body, written.at(r.seq)) << when << ": history, seq " << r.seq;
        ++history;
        return true;
    });
    OutboxReader out(path);
    for (int64_t from = 1;;) {
        int64_t last = 0;
        out.each_record({from, INT64_MAX, INT64_MAX, 500}, [&](const StoredRecord& r) {
            EXPECT_EQ(r.body, written.at(r.seq)) << when << ": outbox, seq " << r.seq;
            ++outbox;
            last = r.seq;
        });
        if (last == 0) break;
        from = last + 1;
    }
    EXPECT_GT(history, 0u) << when;
    EXPECT_EQ(history, outbox) << when;
}

TEST(StoreCompact, EveryReaderReturnsEachBodyByteForByte)
{
    TempStore t;
    std::map<int64_t, Body> written;
    {
        Store store(t.path, settings());
        written = write_units(store, 600);  // past two keyframes of a steady unit
    }
    expect_read_back(t.path, written, "written");
    {
        sqlite::Connection db(t.path, SQLITE_OPEN_READONLY);
        // Steady and drifting units pack to a few dozen bytes; noise stays raw
        // but for the rows that are their keyframe's copy, one in 32 at most.
        EXPECT_LT(db.integer("SELECT avg(length(body)) FROM record WHERE unit IN ('steady', 'drift')"), 60);
        EXPECT_LE(db.integer("SELECT count(*) FROM record WHERE unit = 'noise' AND base IS NOT NULL"), 600 / 32 + 1);
    }
    {
        // Reopened: new keyframes; then the oldest rows go by size and take their keyframes with them.
        Store store(t.path, settings());
        const auto more = write_units(store, 50, 2401);
        written.insert(more.begin(), more.end());
        sqlite::Connection db(t.path, SQLITE_OPEN_READWRITE);
        const int64_t keyframes = db.integer("SELECT count(*) FROM keyframe");
        db.execute("DELETE FROM record WHERE seq <= 1500");
        ASSERT_TRUE(store.commit_cycle(Cycle{kT0 + 60000000, {}, {}}).committed);
        EXPECT_LT(db.integer("SELECT count(*) FROM keyframe"), keyframes);
        EXPECT_EQ(db.integer("SELECT count(*) FROM keyframe WHERE last_seq < (SELECT min(seq) FROM record)"), 0);
    }
    expect_read_back(t.path, written, "after removal");
    recover_store(t.path, "site-1");
    expect_read_back(t.path, written, "recovered");
}

TEST(StoreCompact, ADamagedFrameIsRefusedNotPassedOn)
{
    TempStore t;
    {
        Store store(t.path, settings());
        write_units(store, 3);
    }
    {
        sqlite::Connection db(t.path, SQLITE_OPEN_READWRITE);
        db.execute("UPDATE record SET body = x'00ffffff' WHERE seq = 1");
        db.execute("UPDATE record SET base = 999999 WHERE seq = 2");
    }
    for (const int64_t seq : {1, 2}) {
        StoreReader reader(t.path);
        EXPECT_THROW(reader.each_record({"", {}, {}, seq - 1, 1}, [](const StoredRecord&) { return true; }), StoreError)
            << seq;
    }
}

// A store as the first version wrote it: raw bodies, the (unit, ts_ms) index.
void write_first_version(const std::string& path, std::map<int64_t, Body>& written)
{
    sqlite::Connection db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.execute(R"(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE record(seq INTEGER PRIMARY KEY AUTOINCREMENT, unit TEXT NOT NULL, slave INTEGER NOT NULL,
  device_id INTEGER NOT NULL, ts_ms INTEGER NOT NULL, local_time TEXT NOT NULL, clock_ok INTEGER NOT NULL,
  rtype INTEGER NOT NULL, acked_ms INTEGER, confirmed INTEGER NOT NULL DEFAULT 0, body BLOB NOT NULL);
CREATE INDEX record_unit_time ON record(unit, ts_ms);
CREATE INDEX record_open ON record(seq) WHERE confirmed = 0;
CREATE TABLE event(seq INTEGER PRIMARY KEY AUTOINCREMENT, unit TEXT, ts_ms INTEGER NOT NULL, kind TEXT NOT NULL,
  detail TEXT NOT NULL, acked_ms INTEGER, confirmed INTEGER NOT NULL DEFAULT 0);
CREATE INDEX event_unit_time ON event(unit, ts_ms);
CREATE INDEX event_open ON event(seq) WHERE confirmed = 0;
INSERT INTO meta VALUES ('store_id', 'old-store'), ('schema_version', '1'), ('site', 'site-1');
)");
    sqlite::Statement put(db, "INSERT INTO record(unit, slave, device_id, ts_ms, local_time, clock_ok, rtype, body) "
                              "VALUES (?1, 1, 2, ?2, 't', 1, 5156, ?3)");
    for (int n = 0; n < 40; ++n) {
        const std::string unit = n % 2 ? "a" : "b";
        put.bind(1, unit).bind(2, kT0 + n).bind_blob(3, body_of("drift", n)).run();
        put.reset();
        written[n + 1] = body_of("drift", n);
    }
}

TEST(StoreSchema, AFirstVersionStoreOpensMigratesAndReadsBackEveryRow)
{
    TempStore t;
    std::map<int64_t, Body> written;
    write_first_version(t.path, written);
    expect_read_back(t.path, written, "before the step");  // readers take it as it is
    {
        Store store(t.path, settings());
        const auto more = write_units(store, 300, 41);
        written.insert(more.begin(), more.end());
        EXPECT_EQ(store.resume_state().units.count("a"), 1u);
    }
    expect_read_back(t.path, written, "brought forward");
    sqlite::Connection db(t.path, SQLITE_OPEN_READONLY);
    EXPECT_EQ(db.integer("SELECT value FROM meta WHERE key = 'schema_version'"), 2);
    EXPECT_EQ(db.integer("SELECT count(*) FROM sqlite_schema WHERE name IN ('record_unit_time', 'record_time')"), 1);
    EXPECT_EQ(db.integer("SELECT count(*) FROM sqlite_schema WHERE name = 'record_time'"), 1);
}

int64_t rows(const std::string& path)
{
    sqlite::Connection db(path, SQLITE_OPEN_READONLY);
    return db.integer("SELECT count(*) FROM record");
}

TEST(GroupCommit, LinesCyclesCommitTogetherAndAStopLosesNone)
{
    TempStore t;
    AgentStats stats;
    StoreSettings s = settings();
    s.path = t.path;
    s.commit_interval_ms = 400;
    int commits = 0;
    {
        SharedStore store(s, stats);
        store.on_commit([&commits] { ++commits; });
        const auto started = std::chrono::steady_clock::now();
        std::vector<std::thread> lines;
        for (int line = 0; line < 4; ++line)
            lines.emplace_back([&store, line] {
                for (int n = 0; n < 25; ++n)
                    store.write(Cycle{kT0 + n, {{"u" + std::to_string(line), 1, 2, kT0 + n, "t", true, 5156,
                                                 body_of("drift", n)}}, {}});
            });
        for (auto& line : lines) line.join();
        if (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(300)) {
            EXPECT_EQ(rows(t.path), 0) << "committed before the interval";
        }
        for (int i = 0; i < 100 && rows(t.path) < 100; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(rows(t.path), 100);
        EXPECT_LE(commits, 2);
        // Handed in just before the stop: committed by it.
        store.write(Cycle{kT0 + 99, {{"u0", 1, 2, kT0 + 99, "t", true, 5156, body_of("steady", 1)}}, {}});
        store.on_commit({});
    }
    EXPECT_EQ(rows(t.path), 101);
}

}  // namespace
