#include "agent/outbox_reader.hpp"

#include "agent/store_rows.hpp"

namespace agent {
namespace {

const char kRangeWhere[] =
    " WHERE confirmed = 0 AND seq >= ?1 AND seq <= ?2 AND (acked_ms IS NULL OR acked_ms < ?3) ORDER BY seq LIMIT ?4";

void bind_range(sqlite::Statement& statement, const OutboxRange& range)
{
    statement.bind(1, range.from).bind(2, range.to).bind(3, range.acked_before).bind(4, range.limit);
}

}  // namespace

OutboxReader::OutboxReader(const std::string& path)
try : db_(path, SQLITE_OPEN_READONLY) {
    open_for_reading(db_);
    kind_ = site_kind(db_);
} catch (const sqlite::Error& e) {
    throw StoreError(e.what());
}

void OutboxReader::each_record(const OutboxRange& range, const std::function<void(const StoredRecord&)>& visit)
{
    sqlite::Statement rows(db_, select_records(kind_) + kRangeWhere);
    bind_range(rows, range);
    while (rows.step()) visit(decode_record(rows));
}

void OutboxReader::each_event(const OutboxRange& range, const std::function<void(const StoredEvent&)>& visit)
{
    sqlite::Statement rows(db_, select_events(StoreKind::Site) + kRangeWhere);
    bind_range(rows, range);
    while (rows.step()) visit(decode_event(rows));
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

int64_t OutboxReader::last_acked(Stream stream)
{
    sqlite::Statement last(db_, std::string("SELECT max(seq) FROM ") + table_of(stream) +
                                    " WHERE confirmed = 0 AND acked_ms IS NOT NULL");
    return last.step() && !last.is_null(0) ? last.integer(0) : 0;
}

int64_t OutboxReader::unconfirmed_count(Stream stream)
{
    return db_.integer(std::string("SELECT count(*) FROM ") + table_of(stream) + " WHERE confirmed = 0");
}

}  // namespace agent
