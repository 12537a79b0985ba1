#include "agent/ingest_store.hpp"

#include "agent/database_file.hpp"
#include "agent/store.hpp"
#include "agent/time_text.hpp"

#include <algorithm>
#include <fstream>
#include <map>

namespace agent {
namespace {

constexpr int kSchemaVersion = 1;
// Several ingests may write one file; a writer waits this long for another's commit.
constexpr int kBusyTimeoutMs = 10000;
// The sites' agents keep every row until the centre confirms it: a new
// database after the damaged one is set aside gets their unconfirmed rows again.
constexpr const char* kIngestAdvice =
    "qmhost store check --db FILE tells what is wrong; move the file aside to start a new one, and the sites "
    "send again what the centre had not confirmed";

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS record(
  store TEXT NOT NULL,
  seq INTEGER NOT NULL,
  site TEXT NOT NULL,
  unit TEXT NOT NULL,
  slave INTEGER NOT NULL,
  device_id INTEGER NOT NULL,
  ts_ms INTEGER NOT NULL,
  local_time TEXT NOT NULL,
  clock_ok INTEGER NOT NULL,
  rtype INTEGER NOT NULL DEFAULT 0,
  body BLOB NOT NULL,
  received_ms INTEGER NOT NULL,
  PRIMARY KEY(store, seq)
);
CREATE INDEX IF NOT EXISTS record_unit_time ON record(unit, ts_ms);
CREATE INDEX IF NOT EXISTS record_time ON record(ts_ms);
CREATE TABLE IF NOT EXISTS event(
  store TEXT NOT NULL,
  seq INTEGER NOT NULL,
  site TEXT NOT NULL,
  unit TEXT,
  ts_ms INTEGER NOT NULL,
  kind TEXT NOT NULL,
  detail TEXT NOT NULL,
  received_ms INTEGER NOT NULL,
  PRIMARY KEY(store, seq)
);
CREATE INDEX IF NOT EXISTS event_unit_time ON event(unit, ts_ms);
CREATE INDEX IF NOT EXISTS event_time ON event(ts_ms);
-- A store's marks, and the site it belongs to: the first that sent it.
CREATE TABLE IF NOT EXISTS mark(
  store TEXT PRIMARY KEY,
  site TEXT NOT NULL,
  record_seq INTEGER NOT NULL DEFAULT 0,
  event_seq INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
INSERT OR IGNORE INTO meta(key, value) VALUES ('kind', 'ingest');
)";

// The record body's type: the unit's full record is the only one sent.
constexpr int kFullRecordType = 5156;

}  // namespace

struct IngestStore::Statements {
    explicit Statements(sqlite::Connection& db)
        : insert_record(db, "INSERT INTO record(store, seq, site, unit, slave, device_id, ts_ms, local_time, clock_ok, "
                            "rtype, body, received_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12) "
                            "ON CONFLICT DO NOTHING"),
          insert_event(db, "INSERT INTO event(store, seq, site, unit, ts_ms, kind, detail, received_ms) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT DO NOTHING"),
          get_mark(db, "SELECT record_seq, event_seq FROM mark WHERE store = ?1"),
          get_owner(db, "SELECT site FROM mark WHERE store = ?1"),
          put_mark(db, "INSERT INTO mark(store, site, record_seq, event_seq) VALUES (?1, ?2, ?3, ?4) "
                       "ON CONFLICT(store) DO UPDATE SET record_seq = ?3, event_seq = ?4"),
          kept_record(db, "SELECT unit, body FROM record WHERE store = ?1 AND seq = ?2"),
          kept_event(db, "SELECT unit, ts_ms, kind, detail FROM event WHERE store = ?1 AND seq = ?2"),
          records_from(db, "SELECT seq FROM record WHERE store = ?1 AND seq > ?2 ORDER BY seq"),
          events_from(db, "SELECT seq FROM event WHERE store = ?1 AND seq > ?2 ORDER BY seq")
    {
    }
    sqlite::Statement insert_record;
    sqlite::Statement insert_event;
    sqlite::Statement get_mark;
    sqlite::Statement get_owner;
    sqlite::Statement put_mark;
    sqlite::Statement kept_record;
    sqlite::Statement kept_event;
    sqlite::Statement records_from;
    sqlite::Statement events_from;
};

IngestStore::IngestStore(const std::string& path)
try : db_(database_file::existing_or_missing("ingest store " + path, path, kIngestAdvice),
          SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    database_file::refuse_damaged(db_, "ingest store " + path, kIngestAdvice);
    db_.execute("PRAGMA busy_timeout = " + std::to_string(kBusyTimeoutMs));
    sqlite::Statement wal(db_, "PRAGMA journal_mode = WAL");
    if (!wal.step() || wal.text(0) != "wal") throw StoreError(path + ": cannot switch to WAL mode");
    wal.reset();
    db_.execute("PRAGMA synchronous = FULL");
    db_.execute("BEGIN IMMEDIATE");
    const bool fresh = db_.integer("SELECT count(*) FROM sqlite_schema") == 0;
    if (!fresh && db_.integer("SELECT count(*) FROM sqlite_schema WHERE name = 'mark'") == 0) {
        db_.execute("ROLLBACK");
        throw StoreError(path + " is an SQLite file but not an ingest store");
    }
    db_.execute(kSchema);
    db_.execute("INSERT OR IGNORE INTO meta(key, value) VALUES ('schema_version', '" + std::to_string(kSchemaVersion) +
                "')");
    {
        sqlite::Statement put(db_, "INSERT OR IGNORE INTO meta(key, value) VALUES ('client_id', ?1)");
        put.bind(1, new_ingest_client_id()).run();
        sqlite::Statement get(db_, "SELECT value FROM meta WHERE key = 'client_id'");
        if (get.step()) client_id_ = get.text(0);
    }
    db_.execute("COMMIT");
    statements_ = std::make_unique<Statements>(db_);
} catch (const sqlite::Error& e) {
    throw StoreError(std::string(e.what()) + ": it is refused, not replaced (" + kIngestAdvice + ")");
}

IngestStore::~IngestStore() = default;

std::vector<Confirmation> IngestStore::commit(const std::vector<mqtt::Received>& batch,
                                              const std::vector<std::string>& /*prepared: none here*/,
                                              IngestTotals& totals)
{
    using Kind = mqtt::Received::Kind;
    struct Touched {
        std::string site;
        int64_t record_base = 0;  // below unconfirmed_from: nothing the site still needs
        int64_t event_base = 0;
    };
    std::map<std::string, Touched> touched;
    IngestTotals added;
    std::vector<Confirmation> confirmations;
    const int64_t now_ms = utc_now_ms();
    try {
        db_.execute("BEGIN IMMEDIATE");
        for (const mqtt::Received& m : batch) {
            const auto seen = touched.find(m.origin.store);
            const std::optional<std::string> site =
                seen != touched.end() ? seen->second.site : owner(m.origin.store).value_or(m.origin.site);
            if (site != m.origin.site) {
                ++added.foreign;
                added.last_foreign = m.origin.site + " sent rows of " + m.origin.store + ", which " + *site + " sent first";
                continue;
            }
            Touched& t = touched[m.origin.store];
            t.site = *site;
            int64_t& base = m.kind == Kind::Record ? t.record_base : t.event_base;
            base = std::max(base, m.origin.unconfirmed_from - 1);
            sqlite::Statement& insert = m.kind == Kind::Record ? statements_->insert_record : statements_->insert_event;
            if (m.kind == Kind::Record) {
                const StoredRecord& r = m.record;
                insert.bind(1, m.origin.store).bind(2, r.seq).bind(3, m.origin.site).bind(4, r.unit);
                insert.bind(5, int64_t{r.slave}).bind(6, r.device_id).bind(7, r.ts_ms).bind(8, r.local_time);
                insert.bind(9, int64_t{r.clock_ok}).bind(10, int64_t{kFullRecordType}).bind_blob(11, r.body);
                insert.bind(12, now_ms);
            } else {
                const StoredEvent& e = m.event;
                insert.bind(1, m.origin.store).bind(2, e.seq).bind(3, m.origin.site);
                if (e.unit.empty()) insert.bind_null(4);
                else insert.bind(4, e.unit);
                insert.bind(5, e.ts_ms).bind(6, e.kind).bind(7, e.detail).bind(8, now_ms);
            }
            insert.run();
            if (sqlite3_changes(db_.handle()) != 0) ++(m.kind == Kind::Record ? added.records : added.events);
            else if (same_as_kept(m)) ++added.duplicates;
            else {
                ++added.reused;
                added.last_reused = m.origin.site + "'s store " + m.origin.store + " sent " +
                                    (m.kind == Kind::Record ? "record " + std::to_string(m.record.seq)
                                                            : "event " + std::to_string(m.event.seq)) +
                                    " again with other content: the first one kept stays";
            }
        }
        for (const auto& [store, t] : touched) {
            sqlite::Statement& get = statements_->get_mark;
            get.bind(1, store);
            int64_t record_mark = 0;
            int64_t event_mark = 0;
            if (get.step()) {
                record_mark = get.integer(0);
                event_mark = get.integer(1);
            }
            get.reset();
            record_mark = advance_mark(std::max(record_mark, t.record_base), store, Kind::Record);
            event_mark = advance_mark(std::max(event_mark, t.event_base), store, Kind::Event);
            statements_->put_mark.bind(1, store).bind(2, t.site).bind(3, record_mark).bind(4, event_mark).run();
            confirmations.push_back({t.site, {store, record_mark, event_mark}});
        }
        db_.execute("COMMIT");
    } catch (const sqlite::Error& e) {
        if (!sqlite3_get_autocommit(db_.handle())) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw StoreError(e.what());
    }
    totals.add(added);
    return confirmations;
}

std::optional<std::string> IngestStore::owner(const std::string& store)
{
    sqlite::Statement& get = statements_->get_owner;
    get.bind(1, store);
    std::optional<std::string> site;
    if (get.step()) site = get.text(0);
    get.reset();
    return site;
}

bool IngestStore::same_as_kept(const mqtt::Received& m)
{
    const bool record = m.kind == mqtt::Received::Kind::Record;
    sqlite::Statement& kept = record ? statements_->kept_record : statements_->kept_event;
    kept.bind(1, m.origin.store).bind(2, record ? m.record.seq : m.event.seq);
    bool same = false;
    if (kept.step()) {
        if (record) {
            same = kept.text(0) == m.record.unit && kept.blob(1) == m.record.body;
        } else {
            const std::string unit = kept.is_null(0) ? "" : kept.text(0);
            same = unit == m.event.unit && kept.integer(1) == m.event.ts_ms && kept.text(2) == m.event.kind &&
                   kept.text(3) == m.event.detail;
        }
    }
    kept.reset();
    return same;
}

// The mark moves over every seq kept right after it, and stops at the first gap.
int64_t IngestStore::advance_mark(int64_t mark, const std::string& store, mqtt::Received::Kind kind)
{
    sqlite::Statement& rows = kind == mqtt::Received::Kind::Record ? statements_->records_from : statements_->events_from;
    rows.bind(1, store).bind(2, mark);
    while (rows.step() && rows.integer(0) == mark + 1) ++mark;
    rows.reset();
    return mark;
}

std::string new_ingest_client_id()
{
    constexpr std::size_t kDigits = 13;
    unsigned char bytes[(kDigits + 1) / 2];
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        throw StoreError("cannot read /dev/urandom for the ingest's client id");
    static const char kHex[] = "0123456789abcdef";
    std::string id = "qm-ingest-";
    for (unsigned char byte : bytes) id += {kHex[byte >> 4], kHex[byte & 0xF]};
    return id.substr(0, 10 + kDigits);
}

}  // namespace agent
