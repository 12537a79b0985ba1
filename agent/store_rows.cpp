#include "agent/store_rows.hpp"

#include <array>
#include <cstddef>

namespace agent {
namespace {

// A column as each kind of store selects it: its name, or the constant that
// stands for it where the table has no such column.
struct Column {
    const char* site;
    const char* ingest;
};

// An ingest store keeps only what the centre confirmed (so no acked time, all
// confirmed) and names each row's site and store; a site's store is one of each.
enum RecordColumn : std::size_t {
    kRecordSeq, kRecordUnit, kRecordSlave, kRecordDeviceId, kRecordTs, kRecordLocalTime, kRecordClockOk,
    kRecordRtype, kRecordAcked, kRecordConfirmed, kRecordBody, kRecordSite, kRecordStore, kRecordColumns
};
constexpr std::array<Column, kRecordColumns> kRecord = {{
    {"seq", "seq"}, {"unit", "unit"}, {"slave", "slave"}, {"device_id", "device_id"}, {"ts_ms", "ts_ms"},
    {"local_time", "local_time"}, {"clock_ok", "clock_ok"}, {"rtype", "rtype"}, {"acked_ms", "NULL"},
    {"confirmed", "1"}, {"body", "body"}, {"NULL", "site"}, {"NULL", "store"},
}};

enum EventColumn : std::size_t {
    kEventSeq, kEventUnit, kEventTs, kEventKind, kEventDetail, kEventAcked, kEventConfirmed, kEventSite,
    kEventStore, kEventColumns
};
constexpr std::array<Column, kEventColumns> kEvent = {{
    {"seq", "seq"}, {"unit", "unit"}, {"ts_ms", "ts_ms"}, {"kind", "kind"}, {"detail", "detail"},
    {"acked_ms", "NULL"}, {"confirmed", "1"}, {"NULL", "site"}, {"NULL", "store"},
}};

template <std::size_t N>
std::string select_from(const std::array<Column, N>& columns, StoreKind kind, const char* table)
{
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < N; ++i)
        sql += std::string(i == 0 ? "" : ", ") + (kind == StoreKind::Site ? columns[i].site : columns[i].ingest);
    return sql + " FROM " + table;
}

std::optional<int64_t> optional_integer(const sqlite::Statement& row, int column)
{
    if (row.is_null(column)) return std::nullopt;
    return row.integer(column);
}

int at(std::size_t column) { return static_cast<int>(column); }

}  // namespace

void open_for_reading(sqlite::Connection& db)
{
    // A writer's commit or checkpoint holds the file only briefly.
    db.execute("PRAGMA busy_timeout = 1000");
    if (db.integer("SELECT count(*) FROM sqlite_schema WHERE name IN ('meta', 'record', 'event')") != 3)
        throw StoreError(db.path() + " is not a store");
}

const char* table_of(Stream stream) { return stream == Stream::Records ? "record" : "event"; }

std::string select_records(StoreKind kind) { return select_from(kRecord, kind, "record"); }
std::string select_events(StoreKind kind) { return select_from(kEvent, kind, "event"); }

StoredRecord decode_record(const sqlite::Statement& row)
{
    StoredRecord r;
    r.seq = row.integer(at(kRecordSeq));
    r.unit = row.text(at(kRecordUnit));
    r.slave = static_cast<int>(row.integer(at(kRecordSlave)));
    r.device_id = row.integer(at(kRecordDeviceId));
    r.ts_ms = row.integer(at(kRecordTs));
    r.local_time = row.text(at(kRecordLocalTime));
    r.clock_ok = row.integer(at(kRecordClockOk)) != 0;
    r.rtype = static_cast<int>(row.integer(at(kRecordRtype)));
    r.acked_ms = optional_integer(row, at(kRecordAcked));
    r.confirmed = row.integer(at(kRecordConfirmed)) != 0;
    r.body = row.blob(at(kRecordBody));
    r.site = row.text(at(kRecordSite));
    r.store = row.text(at(kRecordStore));
    return r;
}

StoredEvent decode_event(const sqlite::Statement& row)
{
    StoredEvent e;
    e.seq = row.integer(at(kEventSeq));
    e.unit = row.text(at(kEventUnit));
    e.ts_ms = row.integer(at(kEventTs));
    e.kind = row.text(at(kEventKind));
    e.detail = row.text(at(kEventDetail));
    e.acked_ms = optional_integer(row, at(kEventAcked));
    e.confirmed = row.integer(at(kEventConfirmed)) != 0;
    e.site = row.text(at(kEventSite));
    e.store = row.text(at(kEventStore));
    return e;
}

}  // namespace agent
