#include "agent/outbox_reader.hpp"

namespace agent {
namespace {

const char* table_of(Stream stream) { return stream == Stream::Records ? "record" : "event"; }

const char kRangeWhere[] =
    " WHERE confirmed = 0 AND seq >= ?1 AND seq <= ?2 AND (acked_ms IS NULL OR acked_ms < ?3) ORDER BY seq LIMIT ?4";

void bind_range(sqlite::Statement& statement, const OutboxRange& range)
{
    statement.bind(1, range.from).bind(2, range.to).bind(3, range.acked_before).bind(4, range.limit);
}

std::optional<int64_t> optional_integer(const sqlite::Statement& row, int column)
{
    if (row.is_null(column)) return std::nullopt;
    return row.integer(column);
}

}  // namespace

OutboxReader::OutboxReader(const std::string& path)
try : db_(path, SQLITE_OPEN_READONLY) {
    db_.execute("PRAGMA busy_timeout = 1000");
    if (db_.integer("SELECT count(*) FROM sqlite_schema WHERE name IN ('meta', 'record', 'event')") != 3)
        throw StoreError(path + " is not a store");
} catch (const sqlite::Error& e) {
    throw StoreError(e.what());
}

void OutboxReader::each_record(const OutboxRange& range, const std::function<void(const StoredRecord&)>& visit)
{
    sqlite::Statement rows(db_, std::string("SELECT seq, unit, slave, device_id, ts_ms, local_time, clock_ok, rtype, "
                                            "acked_ms, body FROM record") + kRangeWhere);
    bind_range(rows, range);
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
        r.body = rows.blob(9);
        visit(r);
    }
}

void OutboxReader::each_event(const OutboxRange& range, const std::function<void(const StoredEvent&)>& visit)
{
    sqlite::Statement rows(db_, std::string("SELECT seq, unit, ts_ms, kind, detail, acked_ms FROM event") + kRangeWhere);
    bind_range(rows, range);
    StoredEvent e;
    while (rows.step()) {
        e.seq = rows.integer(0);
        e.unit = rows.text(1);
        e.ts_ms = rows.integer(2);
        e.kind = rows.text(3);
        e.detail = rows.text(4);
        e.acked_ms = optional_integer(rows, 5);
        visit(e);
    }
}

int64_t OutboxReader::last_seq(Stream stream)
{
    sqlite::Statement last(db_, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
    last.bind(1, std::string(table_of(stream)));
    return last.step() ? last.integer(0) : 0;
}

int64_t OutboxReader::unconfirmed_from(Stream stream)
{
    const int64_t last = last_seq(stream);
    sqlite::Statement first(db_, std::string("SELECT min(seq) FROM ") + table_of(stream) + " WHERE confirmed = 0");
    if (!first.step() || first.is_null(0)) return last + 1;
    return first.integer(0);
}

int64_t OutboxReader::unconfirmed_count(Stream stream)
{
    return db_.integer(std::string("SELECT count(*) FROM ") + table_of(stream) + " WHERE confirmed = 0");
}

}  // namespace agent
