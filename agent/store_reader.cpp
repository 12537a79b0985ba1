#include "agent/store_reader.hpp"

#include "agent/store.hpp"

#include <limits>

namespace agent {

namespace {

// The WHERE and ORDER BY clauses of a query, with its binds as ?1 to ?5.
std::string where_and_order(const StoreQuery& query)
{
    std::string sql = " WHERE seq > ?3 AND ts_ms >= ?1 AND ts_ms < ?2";
    if (!query.unit.empty()) sql += " AND unit = ?4";
    sql += query.unit.empty() ? " ORDER BY seq" : " ORDER BY ts_ms, seq";
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
    sqlite::Statement meta(db_, "SELECT key, value FROM meta WHERE key IN ('store_id', 'site')");
    while (meta.step()) (meta.text(0) == "site" ? site_ : store_id_) = meta.text(1);
} catch (const sqlite::Error& e) {
    throw StoreError(e.what());
}

void StoreReader::each_record(const StoreQuery& query, const std::function<bool(const StoredRecord&)>& visit)
{
    sqlite::Statement rows(db_, "SELECT seq, unit, slave, device_id, ts_ms, local_time, clock_ok, rtype, acked_ms, "
                                "confirmed, body FROM record" +
                                    where_and_order(query));
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
        if (!visit(r)) break;
    }
}

void StoreReader::each_event(const StoreQuery& query, const std::function<bool(const StoredEvent&)>& visit)
{
    sqlite::Statement rows(db_, "SELECT seq, unit, ts_ms, kind, detail, acked_ms, confirmed FROM event" +
                                    where_and_order(query));
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
        if (!visit(e)) break;
    }
}

}  // namespace agent
