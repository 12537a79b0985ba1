// The site agent's store: whole cycles or nothing across faults, sequence
// numbers that never go back, the size and age bounds with their drops told,
// the resume state, the readers, and history read back by decode.
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/store_schema.hpp"
#include "agent/time_text.hpp"
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>
#include <json/json.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace agent;
namespace fs = std::filesystem;

constexpr int64_t kT0 = 1796724000000;  // 2026-12-08T10:00:00Z
constexpr int64_t kDayMs = 86400000;
constexpr int kRecordBytes = 459;

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/qm_store_XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Bytes that do not compress (a unit whose every cell changes each cycle):
// the bounds are tried at the store's largest rows.
std::vector<unsigned char> noise(uint64_t seed)
{
    std::vector<unsigned char> bytes(kRecordBytes);
    for (unsigned char& b : bytes) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        b = static_cast<unsigned char>(seed >> 56);
    }
    return bytes;
}

NewRecord record(const std::string& unit, int64_t ts_ms)
{
    return {unit, 3, 42, ts_ms, "2026-12-08 18:00:00", true, 5156,
            noise(static_cast<uint64_t>(ts_ms) * 131 + std::hash<std::string>{}(unit))};
}

// One cycle of `count` records for units u0, u1, ... at `time_ms`.
Cycle cycle_of(int64_t time_ms, int count)
{
    Cycle cycle{time_ms, {}, {}};
    for (int i = 0; i < count; ++i) cycle.records.push_back(record("u" + std::to_string(i), time_ms));
    return cycle;
}

// Asked with a connection of its own, as a reader would.
std::vector<std::string> column(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    std::vector<std::string> values;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            values.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
        }
    else
        values.emplace_back(sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return values;
}

int64_t count(const std::string& path, const std::string& sql)
{
    return std::stoll(column(path, sql).at(0));
}

// The records_dropped events' counts, summed.
int64_t told_drops(const std::string& path, const std::string& reason)
{
    return count(path, "SELECT coalesce(sum(json_extract(detail, '$.count')), 0) FROM event "
                       "WHERE kind = 'records_dropped' AND json_extract(detail, '$.reason') = '" + reason + "'");
}

StoreSettings settings(int keep_days = 30, int max_mb = 256)
{
    StoreSettings s;
    s.site = "site-1";
    s.keep_days = keep_days;
    s.max_mb = max_mb;
    s.warn = [](const std::string&) {};
    return s;
}

// ---- The fault trials: each works on a fresh store file and leaves it for
// the integrity check.

void seq_goes_on_after_reopen_and_removal(const std::string& path)
{
    std::string id;
    {
        Store store(path, settings());
        id = store.store_id();
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + i * 1000, 2)).committed);
    }
    // The newest rows gone, as retention or a hand might remove them.
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "DELETE FROM record WHERE seq > 4", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    Store store(path, settings());
    EXPECT_EQ(store.store_id(), id);
    EXPECT_EQ(store.resume_state().last_record_seq, 6);
    ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + 5000, 1)).committed);
    EXPECT_EQ(column(path, "SELECT group_concat(seq) FROM (SELECT seq FROM record ORDER BY seq)"), std::vector<std::string>{"1,2,3,4,7"});
    EXPECT_THROW(Store(path, [] { auto s = settings(); s.site = "other"; return s; }()), StoreError);
}

void failed_cycle_leaves_nothing_and_is_told_once(const std::string& path)
{
    std::vector<std::string> warnings;
    {
        Store(path, settings()).commit_cycle(cycle_of(kT0, 1));
    }
    StoreSettings s = settings();
    s.warn = [&warnings](const std::string& line) { warnings.push_back(line); };
    s.page_limit = std::stoll(column(path, "PRAGMA page_count").at(0)) + 4;
    Store store(path, s);
    // 40 records need about 6 pages: no room for them.
    for (int i = 0; i < 3; ++i) {
        const CommitResult big = store.commit_cycle(cycle_of(kT0 + 1000 + i, 40));
        EXPECT_FALSE(big.committed);
        EXPECT_NE(big.error.find("full"), std::string::npos) << big.error;
    }
    EXPECT_EQ(count(path, "SELECT count(*) FROM record"), 1);
    EXPECT_EQ(warnings.size(), 1u);
    // A cycle that fits: written, with the failure told as events.
    ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + 2000, 1)).committed);
    EXPECT_EQ(count(path, "SELECT count(*) FROM record"), 2);
    EXPECT_EQ(column(path, "SELECT json_extract(detail, '$.failed_cycles') FROM event WHERE kind = 'store_error'"),
              std::vector<std::string>{"3"});
    EXPECT_EQ(told_drops(path, "store_error"), 120);
    EXPECT_EQ(warnings.size(), 2u);  // and that it writes again
}

void size_bound_holds_and_drops_are_told(const std::string& path)
{
    // 2400 records, about two and a half times what 1 MiB holds of rows that
    // do not pack (one to a 1 KiB page).
    constexpr int kCycles = 150;
    int64_t dropped = 0;
    {
        Store store(path, settings(30, 1));
        store.mark_confirmed_up_to(Stream::Records, 0);
        for (int i = 0; i < kCycles; ++i) {
            const CommitResult result = store.commit_cycle(cycle_of(kT0 + i * 1000, 16));
            ASSERT_TRUE(result.committed) << result.error;
            dropped += result.dropped_records;
            ASSERT_LE(store.file_bytes(), 1024 * 1024) << "after cycle " << i;
            if (i == 10) store.mark_confirmed_up_to(Stream::Records, 20);  // these go without a word
        }
    }
    const int64_t kept = count(path, "SELECT count(*) FROM record");
    EXPECT_GT(kept, 800);
    EXPECT_EQ(dropped, kCycles * 16 - kept - 20);
    EXPECT_EQ(told_drops(path, "max_mb"), dropped);
    EXPECT_EQ(count(path, "SELECT min(seq) FROM record"), kCycles * 16 - kept + 1);  // the oldest went
    EXPECT_LE(fs::file_size(path), 1024u * 1024u);
}

// Every seq ever issued is confirmed or inside a records_dropped event's
// ranges, with the acknowledged ones named; the drop events stay bounded in
// number and survive a store filled with events alone, as do the alarm events
// the resume state is read from.
void drops_are_accounted_for_every_seq(const std::string& path)
{
    constexpr int kCycles = 300;  // 4800 records, about four times what 1 MiB holds
    constexpr int64_t kSentUpTo = 800;  // handed to the broker, before the first drop
    StoreSettings s = settings(30, 1);
    s.forwarding = true;
    Store store(path, s);
    Cycle alarm{kT0, {}, {{"u0", kT0, event_kind::kAlarmRaised, alarm_detail(7, "A7", "B7", "fan", 2)}}};
    ASSERT_TRUE(store.commit_cycle(alarm).committed);
    std::set<int64_t> acked;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + i * 1000, 16)).committed);
        const int64_t last = i * 16 + 16;
        if (i == 10) store.mark_confirmed_up_to(Stream::Records, 40);
        if (i == 50) store.mark_sent(Stream::Records, kSentUpTo);
        if (i % 3 != 0) continue;
        for (int64_t seq = last - 10; seq <= last; seq += 2) {
            store.mark_acked(Stream::Records, seq, kT0);
            acked.insert(seq);
        }
    }
    const auto drops = [&path] {
        std::vector<DropAccount> all;
        for (const std::string& text : column(path, "SELECT detail FROM event WHERE kind = 'records_dropped'")) {
            Json::Value detail;
            std::istringstream(text) >> detail;
            all.push_back(read_drop_account(detail).value());
        }
        return all;
    };
    const auto inside = [](const SeqRanges& ranges, int64_t seq) {
        return std::any_of(ranges.begin(), ranges.end(), [seq](const auto& r) { return r.first <= seq && seq <= r.second; });
    };
    const auto check = [&](const char* when) {
        const auto kept = column(path, "SELECT seq FROM record");
        const std::set<std::string> in_store(kept.begin(), kept.end());
        SeqRanges ranges, acked_ranges, sent_ranges;
        int64_t counted = 0;
        for (const DropAccount& d : drops()) {
            ranges = merge_ranges(ranges, d.ranges);
            acked_ranges = merge_ranges(acked_ranges, d.acked_ranges);
            sent_ranges = merge_ranges(sent_ranges, d.sent_ranges);
            counted += d.count;
        }
        EXPECT_EQ(counted, kCycles * 16 - 40 - static_cast<int64_t>(kept.size())) << when;
        for (int64_t seq = 41; seq <= kCycles * 16; ++seq) {
            if (in_store.count(std::to_string(seq))) continue;
            ASSERT_TRUE(inside(ranges, seq)) << when << ": seq " << seq << " neither kept nor told dropped";
            if (acked.count(seq) != 0) {
                ASSERT_TRUE(inside(acked_ranges, seq)) << when << ": acked seq " << seq;
            } else {
                ASSERT_EQ(inside(sent_ranges, seq), seq <= kSentUpTo) << when << ": sent seq " << seq;
            }
        }
        EXPECT_FALSE(inside(ranges, 40)) << when;  // confirmed: no drop
    };
    check("records");
    EXPECT_LE(count(path, "SELECT count(*) FROM event WHERE kind = 'records_dropped'"), 64);
    EXPECT_GT(count(path, "SELECT max(json_extract(detail, '$.merged')) FROM event"), 1);

    // Events alone, 2 KiB each, until the store has held them twice over.
    const std::string filler(2048, 'x');
    for (int i = 0; i < 1000; ++i) {
        Cycle events{kT0 + kCycles * 1000 + i, {}, {}};
        Json::Value detail(Json::objectValue);
        detail["note"] = filler;
        events.events.push_back({"u1", events.time_ms, event_kind::kControl, detail});
        ASSERT_TRUE(store.commit_cycle(events).committed);
    }
    EXPECT_EQ(count(path, "SELECT count(*) FROM record"), 0);
    check("events");
    EXPECT_EQ(store.resume_state().units["u0"].active_alarms, std::vector<int>{7});
}

void age_bound_removes_old_rows(const std::string& path)
{
    for (bool forwarding : {false, true}) {
        fs::remove(path);
        StoreSettings s = settings(1);
        s.forwarding = forwarding;
        Store store(path, s);
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0, 2)).committed);             // seq 1, 2
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + 3600000, 2)).committed);   // seq 3, 4
        store.mark_confirmed_up_to(Stream::Records, 1);
        EXPECT_EQ(store.first_unconfirmed(Stream::Records), 2);
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + kDayMs + 60000, 1)).committed);
        // Forwarding: an unconfirmed row stays past its age, for max_mb alone to remove.
        EXPECT_EQ(column(path, "SELECT group_concat(seq) FROM (SELECT seq FROM record ORDER BY seq)"),
                  std::vector<std::string>{forwarding ? "2,3,4,5" : "3,4,5"});
        // A clock a year ahead: only the confirmed rows go.
        store.mark_confirmed_up_to(Stream::Records, 3);
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + 366 * kDayMs, 1)).committed);
        EXPECT_EQ(column(path, "SELECT group_concat(seq) FROM (SELECT seq FROM record ORDER BY seq)"),
                  std::vector<std::string>{forwarding ? "4,5,6" : "6"});
        EXPECT_EQ(told_drops(path, "keep_days"), 0) << "forwarding " << forwarding;
    }
}

// A real full disk: a 256 KiB tmpfs, filled, then given room again. Root only.
void full_filesystem_keeps_going(const std::string& path)
{
    const std::string folder = fs::path(path).parent_path() / "tiny";
    fs::create_directory(folder);
    if (geteuid() != 0 || mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string store_path = folder + "/store.db";
    {
        Store store(store_path, settings());
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0, 4)).committed);
        const std::string filler = folder + "/filler";
        {
            std::ofstream fill(filler, std::ios::binary);
            const std::vector<char> block(4096, 0);
            for (int i = 0; i < 64 && fill.write(block.data(), block.size()); ++i) {
            }
        }
        int failures = 0;
        for (int i = 1; i < 200 && failures < 3; ++i)
            failures += store.commit_cycle(cycle_of(kT0 + i * 1000, 4)).committed ? 0 : 1;
        EXPECT_EQ(failures, 3);
        fs::remove(filler);
        EXPECT_TRUE(store.commit_cycle(cycle_of(kT0 + 300000, 4)).committed);
        EXPECT_EQ(count(store_path, "SELECT count(*) FROM event WHERE kind = 'store_error'"), 1);
        EXPECT_EQ(count(store_path, "SELECT count(*) FROM record") % 4, 0);
    }
    fs::copy_file(store_path, path, fs::copy_options::overwrite_existing);
    umount(folder.c_str());
}

struct FaultTrial {
    const char* name;
    void (*run)(const std::string& path);
};

const FaultTrial kFaultTrials[] = {
    {"SeqGoesOnAfterReopenAndRemoval", seq_goes_on_after_reopen_and_removal},
    {"FailedCycleLeavesNothingAndIsToldOnce", failed_cycle_leaves_nothing_and_is_told_once},
    {"SizeBoundHoldsAndDropsAreTold", size_bound_holds_and_drops_are_told},
    {"AgeBoundRemovesOldRows", age_bound_removes_old_rows},
    {"DropsAreAccountedForEverySeq", drops_are_accounted_for_every_seq},
    {"FullFilesystemKeepsGoing", full_filesystem_keeps_going},
};

void PrintTo(const FaultTrial& trial, std::ostream* out)
{
    *out << trial.name;
}

class StoreFault : public testing::TestWithParam<FaultTrial> {};

TEST_P(StoreFault, LeavesTheStoreWhole)
{
    TempDir dir;
    const std::string path = dir.file("store.db");
    GetParam().run(path);
    if (IsSkipped() || !fs::exists(path)) return;
    EXPECT_EQ(column(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
}

INSTANTIATE_TEST_SUITE_P(Trials, StoreFault, testing::ValuesIn(kFaultTrials),
                         [](const testing::TestParamInfo<FaultTrial>& info) { return info.param.name; });

// ---- Resume, readers, times.

TEST(Store, ResumeGivesTheAlarmsActiveAndTheUnitsLostAtTheStop)
{
    TempDir dir;
    const std::string path = dir.file("store.db");
    {
        Store store(path, settings());
        Cycle cycle = cycle_of(kT0, 2);
        const auto alarm = [](const std::string& unit, const char* kind, int position) {
            return NewEvent{unit, kT0, kind, alarm_detail(position, "602400101023", "120830170320", "回风高温告警", 1)};
        };
        cycle.events = {alarm("u0", event_kind::kAlarmRaised, 3), alarm("u0", event_kind::kAlarmRaised, 37),
                        alarm("u1", event_kind::kAlarmRaised, 5), alarm("u0", event_kind::kAlarmCleared, 3),
                        alarm("u1", event_kind::kAlarmCleared, 5), alarm("u1", event_kind::kAlarmRaised, 5)};
        // u0 lost and back, u1 lost for good, u2 back and lost again.
        cycle.events.push_back({"u0", kT0, event_kind::kUnitLost, unit_lost_detail(3, "no answer")});
        cycle.events.push_back({"u1", kT0 + 1, event_kind::kUnitLost, unit_lost_detail(4, "no answer")});
        cycle.events.push_back({"u0", kT0 + 2, event_kind::kUnitBack, unit_back_detail(9)});
        cycle.events.push_back({"u2", kT0 + 3, event_kind::kUnitBack, unit_back_detail(3)});
        cycle.events.push_back({"u2", kT0 + 4, event_kind::kUnitLost, unit_lost_detail(5, "no answer")});
        ASSERT_TRUE(store.commit_cycle(cycle).committed);
    }
    Store store(path, settings());
    const ResumeState state = store.resume_state();
    EXPECT_EQ(state.units.at("u0").active_alarms, std::vector<int>{37});
    EXPECT_EQ(state.units.at("u1").active_alarms, std::vector<int>{5});
    EXPECT_EQ(state.units.at("u1").last_record_seq, 2);
    EXPECT_EQ(state.last_event_seq, 11);
    EXPECT_FALSE(state.units.at("u0").lost);
    EXPECT_TRUE(state.units.at("u1").lost);
    EXPECT_EQ(state.units.at("u1").lost_failed, 4);
    EXPECT_EQ(state.units.at("u1").lost_ms, kT0 + 1);
    EXPECT_TRUE(state.units.at("u2").lost);
    EXPECT_EQ(state.units.at("u2").lost_failed, 5);
}

// A store behind the centre's marks (a copy without its WAL) moves its
// sequences past them, with the rows written since it was opened; marks
// within what it had issued when opened move nothing.
TEST(Store, MovesPastTheCentresMarksWithTheRowsWrittenSinceTheOpen)
{
    TempDir dir;
    const std::string path = dir.file("store.db");
    {
        Store store(path, settings());
        ASSERT_TRUE(store.commit_cycle(cycle_of(kT0, 5)).committed);  // records 1-5
    }
    Store store(path, settings());
    Cycle since = cycle_of(kT0 + 1000, 2);  // records 6, 7 and event 1, written after the open
    since.events.push_back({"u0", kT0 + 1000, event_kind::kUnitBack, unit_back_detail(3)});
    ASSERT_TRUE(store.commit_cycle(since).committed);
    ASSERT_TRUE(store.mark_acked(Stream::Records, 6, kT0));

    EXPECT_FALSE(store.move_past_centre(5, 0, kT0 + 2000));  // within what was issued at the open
    EXPECT_EQ(column(path, "SELECT group_concat(seq) FROM (SELECT seq FROM record ORDER BY seq)"),
              std::vector<std::string>{"1,2,3,4,5,6,7"});

    const std::optional<NewEvent> told = store.move_past_centre(9, 0, kT0 + 2000);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->kind, event_kind::kStoreBehindCentre);
    EXPECT_EQ(compact_json(told->detail),
              R"({"centre_event_seq":0,"centre_record_seq":9,"events_renumbered":0,"last_event_seq":0,)"
              R"("last_record_seq":5,"records_renumbered":2})");
    // 6 and 7 now 10 and 11, order and units kept, unsent again; the next goes on from there.
    EXPECT_EQ(column(path, "SELECT group_concat(seq || unit || coalesce(acked_ms, '-')) FROM (SELECT * FROM record "
                           "WHERE seq > 5 ORDER BY seq)"),
              std::vector<std::string>{"10u0-,11u1-"});
    ASSERT_TRUE(store.commit_cycle(cycle_of(kT0 + 3000, 1)).committed);
    EXPECT_EQ(store.resume_state().last_record_seq, 12);
    EXPECT_EQ(column(path, "SELECT group_concat(seq || kind) FROM event"),
              std::vector<std::string>{"1unit_back,2store_behind_centre"});
    // The same marks again (the retained confirm at a reconnect) move nothing.
    EXPECT_FALSE(store.move_past_centre(9, 0, kT0 + 4000));
    EXPECT_EQ(store.resume_state().last_record_seq, 12);
}

TEST(StoreReader, ReadsByUnitAndTimeWhileTheWriterHoldsTheStore)
{
    TempDir dir;
    const std::string path = dir.file("store.db");
    Store store(path, settings());
    StoreReader reader(path);
    for (int i = 0; i < 5; ++i) {
        Cycle cycle = cycle_of(kT0 + i * 60000, 2);
        cycle.events.push_back({i % 2 ? "u1" : "", kT0 + i * 60000, event_kind::kUnitLost, unit_lost_detail(i, "")});
        ASSERT_TRUE(store.commit_cycle(cycle).committed);
    }
    const auto records = [&reader](StoreQuery query) {
        std::string seqs;
        reader.each_record(query, [&seqs](const StoredRecord& r) {
            seqs += (seqs.empty() ? "" : ",") + std::to_string(r.seq);
            return r.body.size() == kRecordBytes;
        });
        return seqs;
    };
    EXPECT_EQ(records({}), "1,2,3,4,5,6,7,8,9,10");
    EXPECT_EQ(records({"u1", kT0 + 60000, kT0 + 180000, 0, 0}), "4,6");  // from inclusive, to exclusive
    EXPECT_EQ(records({"u0", {}, {}, 3, 2}), "5,7");                     // after a seq, limited
    EXPECT_EQ(records({"u9", {}, {}, 0, 0}), "");

    std::string events;
    reader.each_event({"u1", kT0 + 60000, {}, 0, 0}, [&events](const StoredEvent& e) {
        events += std::to_string(e.seq) + ":" + e.kind + ":" + e.detail + ";";
        return true;
    });
    EXPECT_EQ(events, "2:unit_lost:{\"error\":\"\",\"failed\":1};4:unit_lost:{\"error\":\"\",\"failed\":3};");
    EXPECT_EQ(reader.site(), "site-1");
    EXPECT_EQ(reader.store_id(), store.store_id());
    EXPECT_THROW(StoreReader(dir.file("missing.db")), StoreError);
}

// ---- The schema's version: another one is brought forward or refused by name.

void run_sql(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

TEST(StoreSchema, AVersionWithoutAStepIsRefusedByName)
{
    const struct {
        const char* version;
        const char* says;
    } cases[] = {
        {"0", "has schema version 0; this program writes version 2 and cannot bring version 0 forward"},
        {"3", "has schema version 3, newer than this program's version 2"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("store.db");
        { Store store(path, settings()); }
        run_sql(path, std::string("UPDATE meta SET value = '") + c.version + "' WHERE key = 'schema_version'");
        try {
            Store store(path, settings());
            ADD_FAILURE() << "version " << c.version << " was opened";
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find("store " + path + " " + c.says), std::string::npos) << e.what();
        }
        EXPECT_EQ(column(path, "SELECT value FROM meta WHERE key = 'schema_version'"),
                  std::vector<std::string>{c.version});
    }
}

TEST(StoreSchema, StepsBringAnOlderStoreForwardInOrder)
{
    TempDir dir;
    const std::string path = dir.file("store.db");
    { Store store(path, settings()); }
    {
        sqlite::Connection db(path, SQLITE_OPEN_READWRITE);
        db.execute("BEGIN IMMEDIATE");
        // The second step needs the first's column: run out of order it fails.
        store_schema::migrate(db, std::string("1"), 3,
                              {{2, "UPDATE record SET added = 7"}, {1, "ALTER TABLE record ADD COLUMN added INTEGER"}});
        db.execute("COMMIT");
    }
    EXPECT_EQ(column(path, "SELECT value FROM meta WHERE key = 'schema_version'"), std::vector<std::string>{"3"});
    EXPECT_EQ(column(path, "SELECT count(*) FROM pragma_table_info('record') WHERE name = 'added'"),
              std::vector<std::string>{"1"});
}

TEST(TimeText, ClockWatchTellsEachStepOnceWithItsSize)
{
    constexpr int64_t kHourMs = 3600000;
    const struct {
        int64_t utc_ms, steady_ms;
        std::optional<int64_t> step;
    } samples[] = {
        {kT0, 0, std::nullopt},
        {kT0 + 61900, 60000, std::nullopt},                   // 1.9 s apart: within the threshold
        {kT0 + 365 * kDayMs + 120000, 120000, 365 * kDayMs},  // a year ahead
        {kT0 + 365 * kDayMs + 180000, 180000, std::nullopt},  // told once
        {kT0 + 365 * kDayMs + 240000 - kHourMs, 240000, -kHourMs},
    };
    ClockWatch watch;
    for (const auto& s : samples) EXPECT_EQ(watch.sample(s.utc_ms, s.steady_ms), s.step) << s.steady_ms;
}

TEST(TimeText, Iso8601)
{
    const struct {
        const char* text;
        int64_t ms;  // -1: refused
    } kCases[] = {
        {"2026-12-08", kT0 - 10 * 3600000},
        {"2026-12-08T10:00:00Z", kT0},
        {"2026-12-08 10:00Z", kT0},
        {"2026-12-08T18:00:00.250+08:00", kT0 + 250},
        {"2026-12-08T05:00:00-0500", kT0},
        {"2024-02-29T00:00:00Z", 1709164800000},
        {"2026-12-08T10:00:00", -1},  // no zone
        {"2026-02-29", -1},
        {"2026-12-08T24:00Z", -1},
        {"2026-12-08Z", -1},
        {"08/12/2026", -1},
    };
    for (const auto& c : kCases) {
        const std::optional<int64_t> parsed = parse_iso8601_ms(c.text);
        if (c.ms < 0) EXPECT_FALSE(parsed) << c.text;
        else EXPECT_EQ(parsed, std::optional<int64_t>(c.ms)) << c.text;
    }
    EXPECT_EQ(iso8601_utc_ms(kT0 + 123), "2026-12-08T10:00:00.123Z");
    EXPECT_EQ(parse_iso8601_ms(iso8601_utc_ms(kT0 + 7)), kT0 + 7);
}

#ifdef QMHOST
std::string output_of(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        if (pclose(pipe) != 0) out += "\n(exit status not 0)";
    }
    return out;
}

// A record the driver published, stored, read back raw and decoded, is the
// same record, and history's jsonl is decode's report with the store's members.
TEST(StoreHistory, RawRoundTripsThroughDecode)
{
    DriverHarness harness;
    harness.unit->set_register(11, 245);  // return-air setpoint, tenths
    harness.run_cycle();
    ASSERT_EQ(harness.sink.published.size(), 1u);
    const std::vector<unsigned char> published = harness.sink.published.at(0);

    TempDir dir;
    const std::string path = dir.file("store.db");
    {
        Store store(path, settings());
        Cycle cycle{kT0, {record("crac-1", kT0 + 17)}, {}};
        cycle.records[0].body = published;
        ASSERT_TRUE(store.commit_cycle(cycle).committed);
    }
    const std::string qmhost = QMHOST;
    const std::string raw = dir.file("raw.bin");
    ASSERT_EQ(std::system((qmhost + " history --db " + path + " --format raw > " + raw).c_str()), 0);
    std::ifstream in(raw, std::ios::binary);
    EXPECT_EQ(std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {}), published);

    const std::string decoded = output_of(qmhost + " decode " + raw + " 2>/dev/null");
    std::string history = output_of(qmhost + " history --db " + path + " --unit crac-1 2>/dev/null");
    Json::Value report;
    ASSERT_TRUE(Json::Reader().parse(decoded, report));
    EXPECT_EQ(report["回风温度设定"].asDouble(), 24.5);
    // history is decode's report with the store's members (its device id in
    // place of the record's), in UTF-8, its tenths written from the registers.
    Json::Value line;
    ASSERT_TRUE(Json::Reader().parse(history, line));
    EXPECT_NE(history.find("\"回风温度设定\":24.5,"), std::string::npos) << history;
    EXPECT_EQ(history.find("\\u"), std::string::npos);
    for (const auto& [member, value] : std::map<std::string, Json::Value>{
             {"device_id", 42}, {"seq", 1}, {"slave", 3}, {"time", "2026-12-08T10:00:00.017Z"}, {"unit", "crac-1"}})
        EXPECT_EQ(line[member], value) << member;
    for (const std::string& member : report.getMemberNames()) {
        if (member == "device_id") continue;
        if (report[member].isDouble())
            EXPECT_NEAR(line[member].asDouble(), report[member].asDouble(), 1e-5) << member;
        else
            EXPECT_EQ(line[member], report[member]) << member;
    }
    EXPECT_EQ(line.size(), report.size() + 4);
}
#endif

}  // namespace
