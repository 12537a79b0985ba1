#include "agent/store_rows.hpp"

#include "agent/store_codec.hpp"

#include <array>
#include <cstddef>

namespace agent {
namespace {

// A column as each kind of store selects it: its name, or the constant that
// stands for it where the table has no such column.
struct Column {
    const char* site;
    const char* ingest;
    const char* plain = nullptr;  // a site's store of the first version, when it differs from `site`
};

// An ingest store keeps only what the centre confirmed (so no acked time, all
// confirmed) and names each row's site and store; a site's store is one of each.
enum RecordColumn : std::size_t {
    kRecordSeq, kRecordUnit, kRecordSlave, kRecordDeviceId, kRecordTs, kRecordLocalTime, kRecordClockOk,
    kRecordRtype, kRecordAcked, kRecordConfirmed, kRecordBody, kRecordSite, kRecordStore, kRecordBase,
    kRecordKeyframe, kRecordColumns
};
constexpr std::array<Column, kRecordColumns> kRecord = {{
    {"seq", "seq"}, {"unit", "unit"}, {"slave", "slave"}, {"device_id", "device_id"}, {"ts_ms", "ts_ms"},
    {"local_time", "local_time"}, {"clock_ok", "clock_ok"}, {"rtype", "rtype"}, {"acked_ms", "NULL"},
    {"confirmed", "1"}, {"body", "body"}, {"NULL", "site"}, {"NULL", "store"}, {"base", "NULL", "NULL"},
    {"(SELECT keyframe.body FROM keyframe WHERE keyframe.id = record.base)", "NULL", "NULL"},
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
        sql += std::string(i == 0 ? "" : ", ") + (kind == StoreKind::Ingest                             ? columns[i].ingest
                                                  : kind == StoreKind::SitePlain && columns[i].plain ? columns[i].plain
                                                                                                     : columns[i].site);
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

StoreKind site_kind(sqlite::Connection& db)
{
    return db.integer("SELECT count(*) FROM sqlite_schema WHERE name = 'keyframe'") == 1 ? StoreKind::Site
                                                                                         : StoreKind::SitePlain;
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
    if (!row.is_null(at(kRecordBase))) {
        // Packed against its keyframe; a row whose keyframe is gone or whose
        // frame does not unpack is refused, never passed on altered.
        std::optional<std::vector<unsigned char>> body;
        if (!row.is_null(at(kRecordKeyframe))) body = store_codec::unpack(row.blob(at(kRecordKeyframe)), r.body);
        if (!body) throw StoreError("record " + std::to_string(r.seq) + ": its body cannot be unpacked");
        r.body = std::move(*body);
    }
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
