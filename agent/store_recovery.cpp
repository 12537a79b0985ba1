#include "agent/store_recovery.hpp"

#include "agent/events.hpp"
#include "agent/sqlite.hpp"
#include "agent/store.hpp"
#include "agent/store_codec.hpp"
#include "agent/store_schema.hpp"
#include "agent/time_text.hpp"

#include <json/json.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include <sys/stat.h>

namespace agent {
namespace {

bool is_empty_file(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0;
}

std::optional<int64_t> try_integer(sqlite::Connection& db, const std::string& sql)
{
    try {
        return db.integer(sql);
    } catch (const sqlite::Error&) {
        return std::nullopt;
    }
}

std::optional<std::string> try_meta(sqlite::Connection& db, const std::string& key)
{
    try {
        sqlite::Statement get(db, "SELECT value FROM meta WHERE key = ?1");
        get.bind(1, key);
        if (get.step()) return get.text(0);
    } catch (const sqlite::Error&) {
    }
    return std::nullopt;
}


// Copies one table's rows in seq order, stepping over what cannot be read:
// after a read fails, the next readable seq is found by probing ever further
// ahead (a damaged page holds a run of seqs), and the run skipped is lost.
class TableCopy {
public:
    TableCopy(sqlite::Connection& from, sqlite::Connection& to, const std::string& table)
        : from_(from), to_(to), table_(table)
    {
        const auto issued = try_integer(from, "SELECT seq FROM sqlite_sequence WHERE name = '" + table + "'");
        const auto highest = try_integer(from, "SELECT max(seq) FROM " + table);
        last_seq_ = std::max(issued.value_or(0), highest.value_or(0));
    }

    void run()
    {
        int64_t next = 1;
        for (int runs = 0; next <= last_seq_ && runs < kMostRuns; ++runs) {
            next = copy_from(next);
            if (next > last_seq_) break;
            const int64_t found = next_readable(next + 1);
            lost_.emplace_back(next, found - 1);
            next = found;
        }
        if (next <= last_seq_ && (lost_.empty() || lost_.back().second < last_seq_)) lost_.emplace_back(next, last_seq_);
    }

    int64_t kept() const { return kept_; }
    int64_t last_seq() const { return last_seq_; }
    const SeqRanges& lost() const { return lost_; }
    // Rows copied that turned out unreadable.
    void lose(const std::vector<int64_t>& seqs)
    {
        if (seqs.empty()) return;
        kept_ -= static_cast<int64_t>(seqs.size());
        lost_ = merge_ranges(lost_, ranges_of(seqs));
    }

private:
    static constexpr int kMostRuns = 100000;

    // Copies rows from seq `first` on until the end (returns last_seq_ + 1)
    // or a read fails (returns the seq it failed at).
    int64_t copy_from(int64_t first)
    {
        int64_t next = first;
        try {
            sqlite::Statement rows(from_, "SELECT * FROM " + table_ + " WHERE seq >= ?1 ORDER BY seq");
            rows.bind(1, first);
            while (rows.step()) {
                insert(rows);
                next = rows.integer(0) + 1;
            }
            return last_seq_ + 1;
        } catch (const sqlite::Error&) {
            return next;
        }
    }

    void insert(sqlite::Statement& rows)
    {
        sqlite3_stmt* source = rows.handle();
        const int columns = sqlite3_column_count(source);
        // By name: a store of an earlier version lacks the later columns.
        std::string names;
        std::string values;
        for (int i = 0; i < columns; ++i) {
            names += std::string(i == 0 ? "\"" : ", \"") + sqlite3_column_name(source, i) + "\"";
            values += i == 0 ? "?" : ", ?";
        }
        sqlite::Statement put(to_, "INSERT INTO " + table_ + "(" + names + ") VALUES (" + values + ")");
        for (int i = 0; i < columns; ++i) sqlite3_bind_value(put.handle(), i + 1, sqlite3_column_value(source, i));
        put.run();
        ++kept_;
    }

    // The first seq at or after `from` whose row reads, or last_seq_ + 1.
    int64_t next_readable(int64_t from)
    {
        for (int64_t jump = 1; from <= last_seq_; jump *= 2, from += jump) {
            try {
                sqlite::Statement row(from_, "SELECT * FROM " + table_ + " WHERE seq >= ?1 ORDER BY seq LIMIT 1");
                row.bind(1, from);
                if (!row.step()) return last_seq_ + 1;
                return row.integer(0);
            } catch (const sqlite::Error&) {
            }
        }
        return last_seq_ + 1;
    }

    sqlite::Connection& from_;
    sqlite::Connection& to_;
    std::string table_;
    int64_t last_seq_ = 0;
    int64_t kept_ = 0;
    SeqRanges lost_;
};

}  // namespace

std::vector<std::string> check_store(const std::string& path, int most)
{
    if (is_empty_file(path)) return {"the file is empty: it is no store"};
    try {
        sqlite::Connection db(path, SQLITE_OPEN_READONLY);
        sqlite::Statement check(db, "PRAGMA integrity_check(" + std::to_string(most) + ")");
        std::vector<std::string> found;
        while (check.step()) found.push_back(check.text(0));
        if (found == std::vector<std::string>{"ok"} && !try_meta(db, "store_id"))
            return {"the file is an SQLite database but not a store"};
        return found;
    } catch (const sqlite::Error& e) {
        return {e.what()};
    }
}

namespace {

std::string aside_name(const std::string& path)
{
    std::string stamp = iso8601_utc_ms(utc_now_ms());
    for (char& c : stamp)
        if (c == ':') c = '-';
    return path + ".damaged-" + stamp;
}

void move(const std::string& from, const std::string& to, bool must)
{
    if (std::rename(from.c_str(), to.c_str()) != 0 && (must || errno != ENOENT))
        throw StoreError("cannot move " + from + " to " + to + ": " + std::strerror(errno));
}

// Both files together: SQLite finds a WAL by its database's name.
void move_store(const std::string& from, const std::string& to)
{
    move(from, to, true);
    move(from + "-wal", to + "-wal", false);
    std::remove((from + "-shm").c_str());
}

void write_recovered_event(sqlite::Connection& to, const Recovery& r)
{
    const Json::Value detail = store_recovered_detail(r.records_kept, r.events_kept, r.records_lost, r.events_lost,
                                                      r.damaged_file, r.store_id_kept);
    sqlite::Statement put(to, "INSERT INTO event(unit, ts_ms, kind, detail) VALUES (NULL, ?1, ?2, ?3)");
    put.bind(1, utc_now_ms()).bind(2, std::string(event_kind::kStoreRecovered)).bind(3, compact_json(detail));
    put.run();
}

// Seqs go on after the highest the damaged store ever issued, read or not:
// a seq the centre may hold is never issued again.
void keep_sequence(sqlite::Connection& to, const std::string& table, int64_t last_seq)
{
    sqlite::Statement drop(to, "DELETE FROM sqlite_sequence WHERE name = ?1");
    drop.bind(1, table).run();
    sqlite::Statement put(to, "INSERT INTO sqlite_sequence(name, seq) VALUES (?1, ?2)");
    put.bind(1, table).bind(2, last_seq).run();
}

void write_meta(sqlite::Connection& to, const std::string& store_id, const std::string& site)
{
    sqlite::Statement meta(to, "INSERT INTO meta(key, value) VALUES (?1, ?2)");
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"store_id", store_id},
                                     {"schema_version", std::to_string(store_schema::kVersion)},
                                     {"site", site}}) {
        meta.bind(1, key).bind(2, value).run();
        meta.reset();
    }
}

// The keyframes that can be read; a keyframe lost with a
// damaged page takes the rows packed against it (drop_unreadable).
void copy_keyframes(sqlite::Connection& from, sqlite::Connection& to)
{
    try {
        sqlite::Statement rows(from, "SELECT id, unit, body, last_seq FROM keyframe ORDER BY id");
        sqlite::Statement put(to, "INSERT INTO keyframe(id, unit, body, last_seq) VALUES (?1, ?2, ?3, ?4)");
        while (rows.step()) {
            put.bind(1, rows.integer(0)).bind(2, rows.text(1)).bind_blob(3, rows.blob(2));
            if (rows.is_null(3)) put.bind_null(4);
            else put.bind(4, rows.integer(3));
            put.run();
            put.reset();
        }
    } catch (const sqlite::Error&) {
        // A first-version store has none; a damaged table keeps what came before the damage.
    }
}

// Rows whose keyframe was not kept, or whose body does not unpack against
// it, are lost rather than kept unreadable.
void drop_unreadable(sqlite::Connection& to, TableCopy& records)
{
    std::vector<int64_t> lost;
    {
        sqlite::Statement rows(to, "SELECT record.seq, record.body, keyframe.body FROM record LEFT JOIN keyframe "
                                   "ON keyframe.id = record.base WHERE record.base IS NOT NULL");
        while (rows.step())
            if (rows.is_null(2) || !store_codec::unpack(rows.blob(2), rows.blob(1))) lost.push_back(rows.integer(0));
    }
    sqlite::Statement remove(to, "DELETE FROM record WHERE seq = ?1");
    for (int64_t seq : lost) {
        remove.bind(1, seq).run();
        remove.reset();
    }
    to.execute("INSERT OR IGNORE INTO unit(name) SELECT DISTINCT unit FROM record");
    records.lose(lost);
}

// The rows of `from` (none when it cannot be opened or lost its meta table)
// into the new store `to`, inside the caller's transaction.
Recovery copy_into(sqlite::Connection* from, sqlite::Connection& to, const std::string& site)
{
    Recovery r;
    const auto store_id = from ? try_meta(*from, "store_id") : std::nullopt;
    r.store_id_kept = store_id.has_value();
    write_meta(to, store_id ? *store_id : new_store_id(), site);
    if (!r.store_id_kept) return r;  // a new store id: its seqs start anew
    copy_keyframes(*from, to);
    TableCopy records(*from, to, "record");
    TableCopy events(*from, to, "event");
    records.run();
    events.run();
    drop_unreadable(to, records);
    keep_sequence(to, "record", records.last_seq());
    keep_sequence(to, "event", events.last_seq());
    r.records_kept = records.kept();
    r.events_kept = events.kept();
    r.records_lost = records.lost();
    r.events_lost = events.lost();
    return r;
}

std::unique_ptr<sqlite::Connection> open_damaged(const std::string& path)
{
    if (is_empty_file(path)) return nullptr;
    try {
        return std::make_unique<sqlite::Connection>(path, SQLITE_OPEN_READWRITE);
    } catch (const sqlite::Error&) {
        return nullptr;
    }
}

}  // namespace

Recovery recover_store(const std::string& path, const std::string& site)
{
    const std::string aside = aside_name(path);
    move_store(path, aside);
    try {
        const std::unique_ptr<sqlite::Connection> from = open_damaged(aside);
        sqlite::Connection to(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        to.execute("PRAGMA page_size = " + std::to_string(store_schema::kPageBytes));
        to.execute("PRAGMA auto_vacuum = INCREMENTAL");
        to.execute("PRAGMA journal_mode = WAL");
        to.execute("BEGIN IMMEDIATE");
        to.execute(store_schema::kTables);
        Recovery r = copy_into(from.get(), to, site);
        r.damaged_file = aside;
        write_recovered_event(to, r);
        to.execute("COMMIT");
        return r;
    } catch (const std::exception& e) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
        move_store(aside, path);
        throw StoreError(std::string("store ") + path + " was not recovered (it is as it was): " + e.what());
    }
}

}  // namespace agent
