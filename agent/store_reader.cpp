#include "agent/store_reader.hpp"

#include "agent/store.hpp"
#include "agent/store_rows.hpp"

#include <limits>

namespace agent {

namespace {

// The WHERE and ORDER BY clauses of a query, with its binds as ?1 to ?5.
// An ingest store's seqs are per store, so its rows come in time order.
std::string where_and_order(const StoreQuery& query, bool ingest)
{
    std::string sql = " WHERE seq > ?3 AND ts_ms >= ?1 AND ts_ms < ?2";
    if (!query.unit.empty()) sql += " AND unit = ?4";
    if (query.newest_first)
        sql += query.unit.empty() && !ingest ? " ORDER BY seq DESC"
               : ingest                      ? " ORDER BY ts_ms DESC, store DESC, seq DESC"
                                             : " ORDER BY ts_ms DESC, seq DESC";
    else
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


}  // namespace

StoreReader::StoreReader(const std::string& path)
try : db_(path, SQLITE_OPEN_READONLY) {
    open_for_reading(db_);
    sqlite::Statement meta(db_, "SELECT key, value FROM meta WHERE key IN ('store_id', 'site', 'kind')");
    while (meta.step()) {
        if (meta.text(0) == "kind") ingest_ = meta.text(1) == "ingest";
        else (meta.text(0) == "site" ? site_ : store_id_) = meta.text(1);
    }
    plain_ = !ingest_ && site_kind(db_) == StoreKind::SitePlain;
} catch (const sqlite::Error& e) {
    throw StoreError(e.what());
}

void StoreReader::each_record(const StoreQuery& query, const std::function<bool(const StoredRecord&)>& visit)
{
    sqlite::Statement rows(db_, select_records(ingest_ ? StoreKind::Ingest : plain_ ? StoreKind::SitePlain : StoreKind::Site) + where_and_order(query, ingest_));
    bind_query(rows, query);
    while (rows.step())
        if (!visit(decode_record(rows))) break;
}

std::vector<std::string> StoreReader::units()
{
    std::vector<std::string> names;
    sqlite::Statement rows(db_, "SELECT DISTINCT unit FROM record UNION SELECT DISTINCT unit FROM event "
                                "WHERE unit <> '' ORDER BY 1");
    while (rows.step()) names.push_back(rows.text(0));
    return names;
}

void StoreReader::each_event(const StoreQuery& query, const std::function<bool(const StoredEvent&)>& visit)
{
    sqlite::Statement rows(db_, select_events(ingest_ ? StoreKind::Ingest : StoreKind::Site) + where_and_order(query, ingest_));
    bind_query(rows, query);
    while (rows.step())
        if (!visit(decode_event(rows))) break;
}

}  // namespace agent
