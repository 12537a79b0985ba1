#include "agent/centre_reader.hpp"

#include "agent/time_text.hpp"

#include <cctype>

namespace agent {
namespace {

constexpr int kFetchRows = 1000;

std::vector<unsigned char> from_hex(const char* text)
{
    // bytea's hex output: \x and two digits a byte.
    std::vector<unsigned char> bytes;
    if (text[0] != '\\' || text[1] != 'x') return bytes;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (const char* p = text + 2; p[0] && p[1]; p += 2) bytes.push_back(static_cast<unsigned char>(digit(p[0]) * 16 + digit(p[1])));
    return bytes;
}

std::string where(const StoreQuery& query)
{
    std::string sql = " WHERE ($1 = '' OR site = $1) AND ($2 = '' OR unit = $2)";
    sql += query.from_ms ? " AND time >= $3::timestamptz" : " AND $3 = ''";
    sql += query.to_ms ? " AND time < $4::timestamptz" : " AND $4 = ''";
    sql += query.newest_first ? " ORDER BY time DESC, store DESC, seq DESC" : " ORDER BY time, store, seq";
    if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);
    return sql;
}

constexpr const char* kMs = "(extract(epoch FROM time) * 1000)::bigint";

}  // namespace

CentreReader::CentreReader(const std::string& url, std::string site) : db_(url), site_(std::move(site))
{
    db_.exec("SET TimeZone = 'UTC'");
    if (!db_.value("SELECT to_regclass('qm_record')::text"))
        throw StoreError("the database holds no centre (qmhost ingest --db URL makes one)");
}

void CentreReader::each_row(const std::string& select, const StoreQuery& query,
                            const std::function<bool(PGresult*, int)>& row)
{
    const pg::Params params = {site_, query.unit, query.from_ms ? iso8601_utc_ms(*query.from_ms) : "",
                               query.to_ms ? iso8601_utc_ms(*query.to_ms) : ""};
    try {
        db_.exec("BEGIN READ ONLY");
        db_.exec("DECLARE rows NO SCROLL CURSOR FOR " + select + where(query), params);
        for (bool more = true; more;) {
            const pg::Result r = db_.exec("FETCH " + std::to_string(kFetchRows) + " FROM rows");
            const int n = PQntuples(r.get());
            for (int i = 0; i < n && more; ++i) more = row(r.get(), i);
            more = more && n == kFetchRows;
        }
        db_.exec("COMMIT");
    } catch (...) {
        db_.rollback();
        throw;
    }
}

void CentreReader::each_record(const StoreQuery& query, const std::function<bool(const StoredRecord&)>& visit)
{
    each_row(std::string("SELECT store, seq, site, unit, slave, device_id, ") + kMs +
                 ", local_time, clock_ok, body FROM qm_record",
             query, [&](PGresult* r, int i) {
                 StoredRecord rec;
                 rec.store = PQgetvalue(r, i, 0);
                 rec.seq = std::stoll(PQgetvalue(r, i, 1));
                 rec.site = PQgetvalue(r, i, 2);
                 rec.unit = PQgetvalue(r, i, 3);
                 rec.slave = std::stoi(PQgetvalue(r, i, 4));
                 rec.device_id = std::stoll(PQgetvalue(r, i, 5));
                 rec.ts_ms = std::stoll(PQgetvalue(r, i, 6));
                 rec.local_time = PQgetvalue(r, i, 7);
                 rec.clock_ok = *PQgetvalue(r, i, 8) == 't';
                 rec.body = from_hex(PQgetvalue(r, i, 9));
                 rec.confirmed = true;
                 return visit(rec);
             });
}

void CentreReader::each_event(const StoreQuery& query, const std::function<bool(const StoredEvent&)>& visit)
{
    each_row(std::string("SELECT store, seq, site, coalesce(unit, ''), ") + kMs + ", kind, detail FROM qm_event", query,
             [&](PGresult* r, int i) {
                 StoredEvent e;
                 e.store = PQgetvalue(r, i, 0);
                 e.seq = std::stoll(PQgetvalue(r, i, 1));
                 e.site = PQgetvalue(r, i, 2);
                 e.unit = PQgetvalue(r, i, 3);
                 e.ts_ms = std::stoll(PQgetvalue(r, i, 4));
                 e.kind = PQgetvalue(r, i, 5);
                 e.detail = PQgetvalue(r, i, 6);
                 e.confirmed = true;
                 return visit(e);
             });
}

std::vector<std::string> CentreReader::units()
{
    const pg::Result r = db_.exec("SELECT DISTINCT unit FROM qm_record WHERE $1 = '' OR site = $1 ORDER BY 1", {site_});
    std::vector<std::string> names;
    for (int i = 0; i < PQntuples(r.get()); ++i) names.push_back(PQgetvalue(r.get(), i, 0));
    return names;
}

}  // namespace agent
