#include "agent/store.hpp"

#include "agent/database_file.hpp"
#include "agent/store_codec.hpp"
#include "agent/store_rows.hpp"
#include "agent/store_schema.hpp"
#include "agent/time_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>


namespace agent {

namespace {

constexpr int64_t kBytesPerMb = 1024 * 1024;
constexpr int64_t kMsPerDay = 86400 * 1000LL;
// Age removal runs this often (cycle time), not every cycle: it walks every unit.
constexpr int64_t kAgeCheckEveryMs = 10 * 60 * 1000;
// At most this many rows per unit go by age in one commit, so a store opened
// after a long stop does not make one cycle's commit take seconds; the rest
// go in the next commits.
constexpr int64_t kAgeRemovalBatch = 5000;
// A row's cost beyond its texts and body: the key, the integers, its entries
// in the two indexes and the cell's own header, rounded up.
constexpr int64_t kRowOverheadBytes = 96;
// Slack for a cycle: it may open a new leaf page in each table and index it
// touches, split an interior page and add a pointer-map page.
constexpr int64_t kCycleSlackPages = 16;
// A writer waits this long for a lock another connection holds (a reader's
// checkpoint; a second writer is a mistake, and gets an error, not a hang).
constexpr int kBusyTimeoutMs = 1000;
// records_dropped events are never removed by the size bound; beyond this many
// the oldest half are merged into one, so their number stays bounded.
constexpr int64_t kDropEventsKept = 64;
// Ranges told in one records_dropped event; beyond it the closest are joined.
constexpr std::size_t kRangesPerEvent = 64;
// The WAL is checkpointed at most every 4 MiB (SQLite's default of 1000
// pages of 4 KiB): each checkpoint is two more syncs.
constexpr int64_t kWalCheckpointBytesMax = 4 * 1024 * 1024;
constexpr int kWalCheckpointPagesMin = 16;
constexpr const char* kStoreAdvice =
    "qmhost store check --site FILE tells what is wrong; qmhost store recover --site FILE keeps what can be read "
    "into a new store and puts the damaged file aside";

// The units that have (or had) records.
const char kUnitsSql[] = "SELECT name FROM unit ORDER BY name";
// A unit's rows are packed against a new keyframe after this many rows, so
// that a slow drift (temperatures over an hour) does not grow its frames...
constexpr int kKeyframeEvery = 256;
// ...or sooner, once a frame is larger than this (the unit changed a lot),
// but not within this many rows of the last one: a unit whose every cell
// changes each cycle gains nothing from a keyframe, its rows are kept raw.
constexpr std::size_t kKeyframeAfterFrameBytes = 96;
constexpr int kKeyframeAtMostEvery = 32;

// The events a restarting agent's state is read from: per unit and alarm
// point the latest raise or clear, per unit the latest health event.
// Neither bound removes them (nor a records_dropped event: the size bound never
// does, and the age bound only one the centre confirmed).
const char kStateEvents[] = R"(
  SELECT max(seq) FROM event WHERE kind IN ('alarm_raised', 'alarm_cleared') AND unit IS NOT NULL
    GROUP BY unit, json_extract(detail, '$.position')
  UNION ALL
  SELECT max(seq) FROM event WHERE kind IN ('unit_lost', 'unit_back') AND unit IS NOT NULL GROUP BY unit)";

std::optional<Json::Value> parse_detail(const std::string& text)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 16;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) return std::nullopt;
    return value;
}


int64_t cycle_bytes(const Cycle& cycle)
{
    int64_t bytes = 0;
    for (const NewRecord& r : cycle.records)
        bytes += static_cast<int64_t>(r.body.size() + 2 * r.unit.size() + r.local_time.size()) + kRowOverheadBytes;
    for (const NewEvent& e : cycle.events)
        bytes += static_cast<int64_t>(2 * e.unit.size() + e.kind.size() + compact_json(e.detail).size()) +
                 kRowOverheadBytes;
    return bytes;
}

void bind_unit(sqlite::Statement& statement, int index, const std::string& unit)
{
    if (unit.empty()) statement.bind_null(index);
    else statement.bind(index, unit);
}

}  // namespace

struct Store::Statements {
    explicit Statements(sqlite::Connection& db)
        : insert_record(db, "INSERT INTO record(unit, slave, device_id, ts_ms, local_time, clock_ok, rtype, body, "
                            "base) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
          insert_keyframe(db, "INSERT INTO keyframe(unit, body) VALUES (?1, ?2)"),
          insert_unit(db, "INSERT OR IGNORE INTO unit(name) VALUES (?1)"),
          // Keyframes whose rows are all gone: every seq up to their last is.
          remove_keyframes(db, "DELETE FROM keyframe WHERE last_seq < coalesce((SELECT min(seq) FROM record), "
                               "(SELECT seq FROM sqlite_sequence WHERE name = 'record') + 1)"),
          // A unit moved on from its keyframe: none of its later rows packs against it.
          retire_keyframe(db, "UPDATE keyframe SET last_seq = (SELECT seq FROM sqlite_sequence WHERE name = 'record') "
                              "WHERE id = ?1 AND last_seq IS NULL"),
          insert_event(db, "INSERT INTO event(unit, ts_ms, kind, detail) VALUES (?1, ?2, ?3, ?4)"),
          remove_oldest_records(db, "DELETE FROM record WHERE seq IN (SELECT seq FROM record ORDER BY seq LIMIT ?1) "
                                    "RETURNING seq, confirmed, acked_ms IS NOT NULL"),
          remove_oldest_events(db, std::string("DELETE FROM event WHERE seq IN (SELECT seq FROM event WHERE kind != "
                                               "'records_dropped' AND seq NOT IN (") +
                                       kStateEvents + ") ORDER BY seq LIMIT ?1)"),
          // ?4: forwarding, where only what the centre confirmed goes by age.
          remove_unit_before(db, "DELETE FROM record WHERE seq IN (SELECT seq FROM record WHERE unit = ?1 AND "
                                 "ts_ms < ?2 AND (confirmed = 1 OR ?4 = 0) ORDER BY ts_ms LIMIT ?3) "
                                 "RETURNING seq, confirmed, acked_ms IS NOT NULL"),
          remove_events_before(db, std::string("DELETE FROM event WHERE ts_ms < ?1 AND (confirmed = 1 OR ?2 = 0) "
                                               "AND seq NOT IN (") + kStateEvents + ")"),
          count_drop_events(db, "SELECT count(*) FROM event WHERE kind = 'records_dropped'"),
          oldest_drop_events(db, "SELECT seq, detail FROM event WHERE kind = 'records_dropped' ORDER BY seq LIMIT ?1"),
          remove_event(db, "DELETE FROM event WHERE seq = ?1"),
          units(db, kUnitsSql),
          page_count(db, "PRAGMA page_count"),
          freelist_count(db, "PRAGMA freelist_count")
    {
    }
    sqlite::Statement insert_record;
    sqlite::Statement insert_keyframe;
    sqlite::Statement insert_unit;
    sqlite::Statement remove_keyframes;
    sqlite::Statement retire_keyframe;
    sqlite::Statement insert_event;
    sqlite::Statement remove_oldest_records;
    sqlite::Statement remove_oldest_events;
    sqlite::Statement remove_unit_before;
    sqlite::Statement remove_events_before;
    sqlite::Statement count_drop_events;
    sqlite::Statement oldest_drop_events;
    sqlite::Statement remove_event;
    sqlite::Statement units;
    sqlite::Statement page_count;
    sqlite::Statement freelist_count;
};

// Records removed in one commit: all of them counted, the seqs of the
// unconfirmed ones kept (one records_dropped event tells them all).
struct Store::Removed {
    int64_t rows = 0;
    std::vector<int64_t> unconfirmed;
    std::vector<int64_t> acked;  // of those, the ones the broker acknowledged
    std::vector<int64_t> sent;   // and those handed to it, not acknowledged
    int64_t sent_up_to = 0;

    // Steps a DELETE ... RETURNING seq, confirmed, acked to its end.
    void take(sqlite::Statement& deleted)
    {
        while (deleted.step()) {
            ++rows;
            if (deleted.integer(1) != 0) continue;
            const int64_t seq = deleted.integer(0);
            unconfirmed.push_back(seq);
            if (deleted.integer(2) != 0) acked.push_back(seq);
            else if (seq <= sent_up_to) sent.push_back(seq);
        }
        deleted.reset();
    }
};

// A random (version 4) UUID: a store's id, made once.
std::string new_store_id()
{
    unsigned char bytes[16];
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        throw StoreError("cannot read /dev/urandom for the store's id");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

Store::Store(const std::string& path, StoreSettings settings)
try : settings_(std::move(settings)),
      db_(database_file::existing_or_missing("store " + path, path, kStoreAdvice),
          SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    if (settings_.keep_days < 1 || settings_.max_mb < 1)
        throw StoreError("store " + path + ": keep_days and max_mb must be 1 or more");
    set_up();
    statements_ = std::make_unique<Statements>(db_);
    issued_at_open_[0] = issued(Stream::Records);
    issued_at_open_[1] = issued(Stream::Events);
    // The last run's keyframes in use: its rows are all at or below the last seq issued.
    sqlite::Statement open_keys(db_, "SELECT id FROM keyframe WHERE last_seq IS NULL");
    while (open_keys.step()) keyframes_to_retire_.push_back(open_keys.integer(0));
} catch (const sqlite::Error& e) {
    // "file is not a database" and its kin: the file is there but is no store.
    throw StoreError(std::string(e.what()) + ": it is refused, not replaced (" + kStoreAdvice + ")");
}

Store::~Store() = default;

void Store::set_up()
{
    // First: a reader (qmhost history, a monitoring script) may hold a
    // shared lock while the journal mode is switched or the check runs.
    db_.execute("PRAGMA busy_timeout = " + std::to_string(kBusyTimeoutMs));
    database_file::refuse_damaged(db_, "store " + path(), kStoreAdvice);
    // A new store's pages are 1 KiB: a commit rewrites the newest leaf of
    // each table and index, so the bytes a commit writes (to the WAL, then
    // at the checkpoint) scale with the page size, not the rows. Must come
    // before WAL mode and the first table; an existing store keeps its own.
    db_.execute("PRAGMA page_size = " + std::to_string(store_schema::kPageBytes));
    // Must come before the first table: free pages can then be given back
    // (incremental_vacuum) when the bound is lowered; otherwise they are reused.
    db_.execute("PRAGMA auto_vacuum = INCREMENTAL");
    sqlite::Statement wal(db_, "PRAGMA journal_mode = WAL");
    if (!wal.step() || wal.text(0) != "wal")
        throw StoreError("store " + path() + ": cannot switch to WAL mode (the folder must be writable)");
    wal.reset();
    // FULL: under NORMAL a WAL commit is not synced and may roll back after
    // a power loss; a committed cycle must survive one.
    db_.execute("PRAGMA synchronous = FULL");
    page_size_ = db_.integer("PRAGMA page_size");
    // The WAL lives beside the bound: checkpointed every 1/16 of the bound
    // (16 to 1000 pages) and cut back to that size, so a small store does not
    // carry a WAL larger than itself.
    const int64_t checkpoint_pages = std::clamp<int64_t>(settings_.max_mb * kBytesPerMb / page_size_ / 16,
                                                         kWalCheckpointPagesMin, kWalCheckpointBytesMax / page_size_);
    db_.execute("PRAGMA wal_autocheckpoint = " + std::to_string(checkpoint_pages));
    db_.execute("PRAGMA journal_size_limit = " + std::to_string(checkpoint_pages * page_size_));

    db_.execute("BEGIN IMMEDIATE");
    try {
        const bool fresh = db_.integer("SELECT count(*) FROM sqlite_schema") == 0;
        if (!fresh && db_.integer("SELECT count(*) FROM sqlite_schema WHERE name = 'meta'") == 0)
            throw StoreError(path() + " is an SQLite file but not a store");
        if (fresh) {
            db_.execute(store_schema::kTables);
            sqlite::Statement put(db_, "INSERT INTO meta(key, value) VALUES (?1, ?2)");
            store_id_ = new_store_id();
            put.bind(1, std::string("store_id")).bind(2, store_id_).run();
            put.bind(1, std::string("schema_version")).bind(2, std::to_string(store_schema::kVersion)).run();
            put.bind(1, std::string("site")).bind(2, settings_.site).run();
        } else {
            sqlite::Statement get(db_, "SELECT value FROM meta WHERE key = ?1");
            const auto meta = [&get](const std::string& key) -> std::optional<std::string> {
                get.bind(1, key);
                std::optional<std::string> value;
                if (get.step()) value = get.text(0);
                get.reset();
                return value;
            };
            store_schema::migrate(db_, meta("schema_version"), store_schema::kVersion, store_schema::steps());
            db_.execute(store_schema::kTables);
            const auto site = meta("site");
            if (site != settings_.site)
                throw StoreError("store " + path() + " belongs to site \"" + site.value_or("") + "\", not \"" +
                                 settings_.site + "\"");
            store_id_ = meta("store_id").value_or("");
        }
        db_.execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (settings_.page_limit > 0) db_.integer("PRAGMA max_page_count = " + std::to_string(settings_.page_limit));
}

CommitResult Store::commit_cycle(const Cycle& cycle) { return commit_cycles({cycle}); }

CommitResult Store::commit_cycles(const std::vector<Cycle>& cycles)
{
    CommitResult result;
    if (cycles.empty()) return CommitResult{true, "", 0};
    try {
        db_.execute("BEGIN IMMEDIATE");
        for (const Cycle& cycle : cycles) write_cycle(cycle, result);
        remove_unused_keyframes();
        db_.execute("COMMIT");
    } catch (const sqlite::Error& e) {
        // A failed statement may have ended the transaction itself.
        if (!sqlite3_get_autocommit(db_.handle())) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        for (const Cycle& cycle : cycles) note_failure(cycle, e.what());
        drop_events_.reset();  // what was counted in the transaction is gone with it
        // So are the keyframes and unit names it wrote; those from before it
        // are retired by the next commit that works.
        for (const auto& [unit, key] : keyframes_) keyframes_to_retire_.push_back(key.id);
        keyframes_.clear();
        units_.clear();
        return CommitResult{false, e.what(), 0};
    }
    if (failing_) {
        warn("store " + path() + ": writing again after " + std::to_string(failed_cycles_) + " lost cycles");
        failing_ = false;
        failed_cycles_ = 0;
        lost_records_ = 0;
    }
    result.committed = true;
    return result;
}

void Store::write_cycle(const Cycle& cycle, CommitResult& result)
{
    if (failing_) {
        insert_event({"", cycle.time_ms, event_kind::kStoreError,
                      store_error_detail(failure_, iso8601_utc_ms(failing_since_ms_), failed_cycles_)});
        if (lost_records_ > 0) {
            DropAccount lost;
            lost.count = lost_records_;
            lost.reason = drop_reason::kStoreError;
            insert_drop_event(lost, cycle.time_ms);
        }
    }
    // A clock set back makes the next check due at once, not an age later.
    if (cycle.time_ms >= next_age_check_ms_ || cycle.time_ms < next_age_check_ms_ - kAgeCheckEveryMs)
        remove_old(cycle.time_ms);
    make_room(cycle_bytes(cycle) + kCycleSlackPages * page_size_, cycle.time_ms, result);

    sqlite::Statement& insert = statements_->insert_record;
    for (const NewRecord& r : cycle.records) {
        insert.bind(1, r.unit).bind(2, int64_t{r.slave}).bind(3, r.device_id).bind(4, r.ts_ms);
        insert.bind(5, r.local_time).bind(6, int64_t{r.clock_ok}).bind(7, int64_t{r.rtype});
        insert_packed(r, insert);
        insert.run();
    }
    for (const NewEvent& e : cycle.events) insert_event(e);
}

// The body packed against the unit's keyframe (binds ?8 and ?9), a new
// keyframe made first when the unit has none, has used its own for
// kKeyframeEvery rows, or its last frame was large.
void Store::insert_packed(const NewRecord& record, sqlite::Statement& insert)
{
    if (units_.insert(record.unit).second) statements_->insert_unit.bind(1, record.unit).run();
    Keyframe& key = keyframes_[record.unit];
    if (key.id == 0 || key.rows >= kKeyframeEvery ||
        (key.last_frame > kKeyframeAfterFrameBytes && key.rows >= kKeyframeAtMostEvery)) {
        if (key.id != 0) statements_->retire_keyframe.bind(1, key.id).run();
        statements_->insert_keyframe.bind(1, record.unit).bind_blob(2, record.body).run();
        key = Keyframe{sqlite3_last_insert_rowid(db_.handle()), record.body, 0, 0};
    }
    ++key.rows;
    const std::optional<std::vector<unsigned char>> frame = store_codec::pack(key.body, record.body);
    key.last_frame = frame ? frame->size() : record.body.size();
    if (!frame || frame->size() >= record.body.size()) {  // no gain (or larger than any body): kept as it came
        insert.bind_blob(8, record.body).bind_null(9);
        return;
    }
    insert.bind_blob(8, *frame).bind(9, key.id);
}

void Store::remove_unused_keyframes()
{
    // Those left in use by a commit that failed, or by the last run.
    for (int64_t id : keyframes_to_retire_) statements_->retire_keyframe.bind(1, id).run();
    keyframes_to_retire_.clear();
    statements_->remove_keyframes.run();
}

void Store::insert_event(const NewEvent& event)
{
    sqlite::Statement& insert = statements_->insert_event;
    bind_unit(insert, 1, event.unit);
    insert.bind(2, event.ts_ms).bind(3, event.kind).bind(4, compact_json(event.detail));
    insert.run();
}

// Oldest records first, then (when no record is left) the oldest events,
// until the cycle fits under the bound; the pages they free are reused. The
// records_dropped events and those the resume state is read from stay.
void Store::make_room(int64_t needed_bytes, int64_t time_ms, CommitResult& result)
{
    const int64_t bound = settings_.max_mb * kBytesPerMb;
    Removed removed;
    removed.sent_up_to = records_sent_up_to_;
    for (int64_t excess = used_bytes() + needed_bytes - bound; excess > 0;
         excess = used_bytes() + needed_bytes - bound) {
        // A guess at the rows that hold `excess` bytes; the loop checks what was freed.
        const int64_t batch = std::max<int64_t>(8, excess / 512);
        const int64_t before = removed.rows;
        statements_->remove_oldest_records.bind(1, batch);
        removed.take(statements_->remove_oldest_records);
        if (removed.rows > before) continue;
        statements_->remove_oldest_events.bind(1, batch).run();
        if (sqlite3_changes(db_.handle()) == 0) break;
    }
    record_drops(removed, drop_reason::kMaxMb, time_ms, result);
    // A bound lowered since the file grew: give the free pages beyond it back.
    const int64_t over_pages = (file_bytes() - bound) / page_size_;
    if (over_pages > 0) db_.execute("PRAGMA incremental_vacuum(" + std::to_string(over_pages) + ")");
}

void Store::remove_old(int64_t time_ms)
{
    const int64_t cutoff = time_ms - settings_.keep_days * kMsPerDay;
    std::vector<std::string> units;
    for (sqlite::Statement& list = statements_->units; list.step();) units.push_back(list.text(0));
    statements_->units.reset();

    Removed removed;
    bool more = false;
    for (const std::string& unit : units) {
        const int64_t before = removed.rows;
        statements_->remove_unit_before.bind(1, unit).bind(2, cutoff).bind(3, kAgeRemovalBatch);
        statements_->remove_unit_before.bind(4, int64_t{settings_.forwarding});
        removed.take(statements_->remove_unit_before);
        more = more || removed.rows - before == kAgeRemovalBatch;
    }
    // Without forwarding nothing waits for a confirmation: a record that
    // reached keep_days has served its time. With it only confirmed rows go
    // by age (a clock stepped a year ahead removes nothing unsent). Neither
    // is a drop.

    const int64_t event_days = std::max(settings_.keep_days, kEventKeepDaysAtLeast);
    statements_->remove_events_before.bind(1, time_ms - event_days * kMsPerDay)
        .bind(2, int64_t{settings_.forwarding})
        .run();
    drop_events_.reset();
    next_age_check_ms_ = more ? 0 : time_ms + kAgeCheckEveryMs;
}

void Store::record_drops(const Removed& removed, const std::string& reason, int64_t time_ms, CommitResult& result)
{
    if (removed.unconfirmed.empty()) return;
    DropAccount drops;
    drops.count = static_cast<int64_t>(removed.unconfirmed.size());
    drops.reason = reason;
    drops.ranges = bound_ranges(ranges_of(removed.unconfirmed), kRangesPerEvent);
    drops.acked = static_cast<int64_t>(removed.acked.size());
    drops.acked_ranges = bound_ranges(ranges_of(removed.acked), kRangesPerEvent);
    drops.sent = static_cast<int64_t>(removed.sent.size());
    drops.sent_ranges = bound_ranges(ranges_of(removed.sent), kRangesPerEvent);
    insert_drop_event(drops, time_ms);
    result.dropped_records += drops.count;
}

void Store::insert_drop_event(const DropAccount& drops, int64_t time_ms)
{
    insert_event({"", time_ms, event_kind::kRecordsDropped, records_dropped_detail(drops)});
    if (!drop_events_) {
        sqlite::Statement& count = statements_->count_drop_events;
        drop_events_ = count.step() ? count.integer(0) : 0;
        count.reset();
    } else {
        ++*drop_events_;
    }
    if (*drop_events_ > kDropEventsKept) merge_drop_events(time_ms);
}

// The oldest half of the drop events become one new event (a new seq, so the
// centre receives it even when it confirmed those it takes the place of).
void Store::merge_drop_events(int64_t time_ms)
{
    DropAccount merged;
    std::vector<int64_t> seqs;
    sqlite::Statement& oldest = statements_->oldest_drop_events;
    oldest.bind(1, *drop_events_ - kDropEventsKept / 2);
    while (oldest.step()) {
        const auto detail = parse_detail(oldest.text(1));
        const auto drops = detail ? read_drop_account(*detail) : std::nullopt;
        if (!drops) continue;  // one that cannot be read stays as it is
        seqs.push_back(oldest.integer(0));
        merged.reason = merged.reason.empty() || merged.reason == drops->reason ? drops->reason : drop_reason::kMerged;
        merged.count += drops->count;
        merged.ranges = merge_ranges(merged.ranges, drops->ranges);
        merged.acked += drops->acked;
        merged.acked_ranges = merge_ranges(merged.acked_ranges, drops->acked_ranges);
        merged.sent += drops->sent;
        merged.sent_ranges = merge_ranges(merged.sent_ranges, drops->sent_ranges);
        merged.merged += std::max<int64_t>(drops->merged, 1);
    }
    oldest.reset();
    if (seqs.size() < 2) return;
    for (int64_t seq : seqs) statements_->remove_event.bind(1, seq).run();
    merged.ranges = bound_ranges(std::move(merged.ranges), kRangesPerEvent);
    merged.acked_ranges = bound_ranges(std::move(merged.acked_ranges), kRangesPerEvent);
    merged.sent_ranges = bound_ranges(std::move(merged.sent_ranges), kRangesPerEvent);
    insert_event({"", time_ms, event_kind::kRecordsDropped, records_dropped_detail(merged)});
    *drop_events_ -= static_cast<int64_t>(seqs.size()) - 1;
}

void Store::note_failure(const Cycle& cycle, const std::string& error)
{
    if (!failing_) {
        failing_ = true;
        failing_since_ms_ = cycle.time_ms;
        failure_ = error;
        warn(error + "; cycles are not stored until it can write again, polling goes on");
    }
    ++failed_cycles_;
    lost_records_ += static_cast<int64_t>(cycle.records.size());
}

void Store::warn(const std::string& line) const
{
    if (settings_.warn) settings_.warn(line);
    else std::cerr << "qmhost: " << line << std::endl;
}

int64_t Store::issued(Stream stream)
{
    sqlite::Statement last(db_, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
    last.bind(1, std::string(table_of(stream)));
    return last.step() ? last.integer(0) : 0;
}

std::optional<NewEvent> Store::move_past_centre(int64_t record_mark, int64_t event_mark, int64_t now_ms,
                                                int64_t record_sent, int64_t event_sent)
{
    const Stream streams[2] = {Stream::Records, Stream::Events};
    const int64_t marks[2] = {record_mark, event_mark};
    const int64_t sent[2] = {record_sent, event_sent};
    BehindCentre told[2];
    bool moved = false;
    std::optional<NewEvent> event;
    try {
        db_.execute("BEGIN IMMEDIATE");
        for (std::size_t i = 0; i < 2; ++i) {
            told[i] = {issued_at_open_[i], marks[i], 0};
            if (marks[i] <= issued_at_open_[i]) continue;
            moved = true;
            const std::string table = table_of(streams[i]);
            const int64_t stays = std::max(issued_at_open_[i], sent[i]);  // rows up to it keep their seqs
            const int64_t shift = std::max<int64_t>(0, marks[i] - stays);
            // Through negative keys, so no moved row meets one not yet moved.
            sqlite::Statement away(db_, "UPDATE " + table + " SET seq = -seq, acked_ms = NULL, confirmed = 0 "
                                                            "WHERE seq > ?1");
            away.bind(1, stays).run();
            told[i].renumbered = sqlite3_changes(db_.handle());
            sqlite::Statement back(db_, "UPDATE " + table + " SET seq = ?1 - seq WHERE seq < 0");
            back.bind(1, shift).run();
            if (streams[i] == Stream::Records) {
                // A keyframe's last row moved with the rows.
                sqlite::Statement keys(db_, "UPDATE keyframe SET last_seq = last_seq + ?1 WHERE last_seq > ?2");
                keys.bind(1, shift).bind(2, stays).run();
            }
            const int64_t last = std::max(issued(streams[i]) + shift, marks[i]);
            sqlite::Statement sequence(db_, "INSERT OR REPLACE INTO sqlite_sequence(rowid, name, seq) VALUES "
                                            "((SELECT rowid FROM sqlite_sequence WHERE name = ?1), ?1, ?2)");
            sequence.bind(1, table).bind(2, last).run();
        }
        if (!moved) {
            db_.execute("ROLLBACK");
            return std::nullopt;
        }
        event = NewEvent{"", now_ms, event_kind::kStoreBehindCentre, store_behind_centre_detail(told[0], told[1])};
        insert_event(*event);
        db_.execute("COMMIT");
    } catch (const sqlite::Error& e) {
        if (!sqlite3_get_autocommit(db_.handle())) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        warn(e.what());
        return std::nullopt;
    }
    issued_at_open_[0] = issued(Stream::Records);
    issued_at_open_[1] = issued(Stream::Events);
    return event;
}

ResumeState Store::resume_state()
{
    ResumeState state;
    state.last_record_seq = issued(Stream::Records);
    state.last_event_seq = issued(Stream::Events);

    sqlite::Statement last(db_, "SELECT seq, ts_ms FROM record WHERE unit = ?1 ORDER BY ts_ms DESC, seq DESC LIMIT 1");
    for (sqlite::Statement& units = statements_->units; units.step();) {
        UnitResume& unit = state.units[units.text(0)];
        last.bind(1, units.text(0));
        if (last.step()) {
            unit.last_record_seq = last.integer(0);
            unit.last_record_ms = last.integer(1);
        }
        last.reset();
    }
    statements_->units.reset();

    // Per unit and position the latest alarm event; active when it raised.
    sqlite::Statement alarms(db_, R"(
SELECT unit, position FROM (
  SELECT unit, json_extract(detail, '$.position') AS position, kind, max(seq)
  FROM event WHERE kind IN (?1, ?2) AND unit IS NOT NULL GROUP BY unit, position)
WHERE kind = ?1 ORDER BY unit, position)");
    alarms.bind(1, std::string(event_kind::kAlarmRaised)).bind(2, std::string(event_kind::kAlarmCleared));
    while (alarms.step()) state.units[alarms.text(0)].active_alarms.push_back(static_cast<int>(alarms.integer(1)));

    // Per unit the latest health event: lost when it was unit_lost.
    sqlite::Statement health(db_, R"(
SELECT unit, json_extract(detail, '$.failed'), ts_ms FROM event WHERE seq IN (
  SELECT max(seq) FROM event WHERE kind IN (?1, ?2) AND unit IS NOT NULL GROUP BY unit)
AND kind = ?1)");
    health.bind(1, std::string(event_kind::kUnitLost)).bind(2, std::string(event_kind::kUnitBack));
    while (health.step()) {
        UnitResume& unit = state.units[health.text(0)];
        unit.lost = true;
        unit.lost_failed = health.is_null(1) ? 0 : health.integer(1);
        unit.lost_ms = health.integer(2);
    }
    return state;
}

bool Store::mark_acked(Stream stream, int64_t seq, int64_t now_ms)
{
    try {
        sqlite::Statement update(db_, std::string("UPDATE ") + table_of(stream) + " SET acked_ms = ?2 WHERE seq = ?1");
        update.bind(1, seq).bind(2, now_ms).run();
        return true;
    } catch (const sqlite::Error& e) {
        warn(e.what());
        return false;
    }
}

bool Store::mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms)
{
    if (seqs.empty()) return true;
    try {
        db_.execute("BEGIN IMMEDIATE");
        sqlite::Statement update(db_, std::string("UPDATE ") + table_of(stream) + " SET acked_ms = ?2 WHERE seq = ?1");
        for (int64_t seq : seqs) {
            update.bind(1, seq).bind(2, now_ms).run();
        }
        db_.execute("COMMIT");
        return true;
    } catch (const sqlite::Error& e) {
        if (!sqlite3_get_autocommit(db_.handle())) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        warn(e.what());
        return false;
    }
}

bool Store::mark_confirmed_up_to(Stream stream, int64_t seq)
{
    try {
        sqlite::Statement update(db_, std::string("UPDATE ") + table_of(stream) +
                                          " SET confirmed = 1 WHERE confirmed = 0 AND seq <= ?1");
        update.bind(1, seq).run();
        return true;
    } catch (const sqlite::Error& e) {
        warn(e.what());
        return false;
    }
}

std::optional<int64_t> Store::first_unconfirmed(Stream stream)
{
    sqlite::Statement first(db_, std::string("SELECT min(seq) FROM ") + table_of(stream) + " WHERE confirmed = 0");
    if (!first.step() || first.is_null(0)) return std::nullopt;
    return first.integer(0);
}

namespace {
constexpr const char* kNotifiedMarkKey = "notified_event_seq";
}  // namespace

std::optional<int64_t> Store::notified_mark()
{
    sqlite::Statement get(db_, "SELECT value FROM meta WHERE key = ?1");
    get.bind(1, std::string(kNotifiedMarkKey));
    if (!get.step()) return std::nullopt;
    const std::string text = get.text(0);
    char* end = nullptr;
    errno = 0;
    const long long seq = std::strtoll(text.c_str(), &end, 10);
    // A mark that does not read is no mark: the command starts afresh from the newest event.
    if (text.empty() || *end != '\0' || errno != 0 || seq < 0) return std::nullopt;
    return seq;
}

bool Store::set_notified_mark(std::optional<int64_t> seq)
{
    try {
        if (seq) {
            sqlite::Statement put(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES (?1, ?2)");
            put.bind(1, std::string(kNotifiedMarkKey)).bind(2, std::to_string(*seq)).run();
        } else {
            sqlite::Statement remove(db_, "DELETE FROM meta WHERE key = ?1");
            remove.bind(1, std::string(kNotifiedMarkKey)).run();
        }
        return true;
    } catch (const sqlite::Error& e) {
        warn(e.what());
        return false;
    }
}

int64_t Store::file_bytes()
{
    sqlite::Statement& pages = statements_->page_count;
    const int64_t count = pages.step() ? pages.integer(0) : 0;
    pages.reset();
    return count * page_size_;
}

int64_t Store::used_bytes()
{
    sqlite::Statement& free_pages = statements_->freelist_count;
    const int64_t free_count = free_pages.step() ? free_pages.integer(0) : 0;
    free_pages.reset();
    return file_bytes() - free_count * page_size_;
}

}  // namespace agent
