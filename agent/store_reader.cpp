#include "agent/store_reader.hpp"

#include "agent/store.hpp"

#include <limits>

namespace agent {

namespace {

// The WHERE and ORDER BY clauses of a query, with its binds as ?1 to ?5.
// An ingest store's seqs are per store, so its rows come in time order.
std::string where_and_order(const StoreQuery& query, bool ingest)
{
    std::string sql = " WHERE seq > ?3 AND ts_ms >= ?1 AND ts_ms < ?2";
    if (!query.unit.empty()) sql += " AND unit = ?4";
    sql += query.unit.empty() && !ingest ? " ORDER BY seq" : ingest ? " ORDER BY ts_ms, store, seq" : " ORDER BY ts_ms, seq";
    return sql + " LIMIT ?5";
}

void bind_query(sqlite::Statement& statement, const StoreQuery& query)
{
    statement.bind(1, query.from_ms.value_or(std::numeric_limits<int64_t>::min()));
    statement.bind(2, query.to_ms.value_or(std::numeric_limits<int64_t>::max()));
    statement.bind(3, query.after_seq);
    if (!query.unit.empty()) statement.bind(4, query.unit);
    statement.bind(5, query.limit > 0 ? query.limit : int64_t{-1});
}

std::optional<int64_t> optional_integer(const sqlite::Statement& row, int column)
{
    if (row.is_null(column)) return std::nullopt;
    return row.integer(column);
}

}  // namespace

StoreReader::StoreReader(const std::string& path)
try : db_(path, SQLITE_OPEN_READONLY) {
    db_.execute("PRAGMA busy_timeout = 1000");
    if (db_.integer("SELECT count(*) FROM sqlite_schema WHERE name IN ('meta', 'record', 'event')") != 3)
        throw StoreError(path + " is not a store");
    sqlite::Statement meta(db_, "SELECT key, value FROM meta WHERE key IN ('store_id', 'site', 'kind')");
    while (meta.step()) {
        if (meta.text(0) == "kind") ingest_ = meta.text(1) == "ingest";
        else (meta.text(0) == "site" ? site_ : store_id_) = meta.text(1);
    }
} catch (const sqlite::Error& e) {
    throw StoreError(e.what());
}

void StoreReader::each_record(const StoreQuery& query, const std::function<bool(const StoredRecord&)>& visit)
{
    const char* own = ingest_ ? "NULL, 1, body, site, store" : "acked_ms, confirmed, body, NULL, NULL";
    sqlite::Statement rows(db_, std::string("SELECT seq, unit, slave, device_id, ts_ms, local_time, clock_ok, rtype, ") +
                                    own + " FROM record" + where_and_order(query, ingest_));
    bind_query(rows, query);
    StoredRecord r;
    while (rows.step()) {
        r.seq = rows.integer(0);
        r.unit = rows.text(1);
        r.slave = static_cast<int>(rows.integer(2));
        r.device_id = rows.integer(3);
        r.ts_ms = rows.integer(4);
        r.local_time = rows.text(5);
        r.clock_ok = rows.integer(6) != 0;
        r.rtype = static_cast<int>(rows.integer(7));
        r.acked_ms = optional_integer(rows, 8);
        r.confirmed = rows.integer(9) != 0;
        r.body = rows.blob(10);
        r.site = rows.text(11);
        r.store = rows.text(12);
        if (!visit(r)) break;
    }
}

void StoreReader::each_event(const StoreQuery& query, const std::function<bool(const StoredEvent&)>& visit)
{
    const char* own = ingest_ ? "NULL, 1, site, store" : "acked_ms, confirmed, NULL, NULL";
    sqlite::Statement rows(db_, std::string("SELECT seq, unit, ts_ms, kind, detail, ") + own + " FROM event" +
                                    where_and_order(query, ingest_));
    bind_query(rows, query);
    StoredEvent e;
    while (rows.step()) {
        e.seq = rows.integer(0);
        e.unit = rows.text(1);
        e.ts_ms = rows.integer(2);
        e.kind = rows.text(3);
        e.detail = rows.text(4);
        e.acked_ms = optional_integer(rows, 5);
        e.confirmed = rows.integer(6) != 0;
        e.site = rows.text(7);
        e.store = rows.text(8);
        if (!visit(e)) break;
    }
}

}  // namespace agent
