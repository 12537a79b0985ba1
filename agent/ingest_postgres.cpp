#include "agent/ingest_postgres.hpp"

#include "agent/time_text.hpp"
#include "agent/unit_values.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string_view>
#include <tuple>

namespace agent {
namespace {

constexpr int64_t kDayMs = 86400000;
// Without --keep-days, a record up to this many days old still gets its day's partition.
constexpr int kDaysBackWithoutRetention = 31;
constexpr int kCommitTries = 5;
constexpr auto kTendEvery = std::chrono::seconds(60);
// The advisory locks of the schema's steps and of the partitions' making.
constexpr const char* kSchemaLock = "7165001";
constexpr const char* kPartitionLock = "7165002";

std::string day_name(int64_t day)
{
    const std::string iso = iso8601_utc_ms(day * kDayMs);  // 2026-12-08T00:00:00.000Z
    return iso.substr(0, 4) + iso.substr(5, 2) + iso.substr(8, 2);
}

// The text as PostgreSQL takes it: valid UTF-8 without NUL; anything else
// becomes U+FFFD, so a hostile string is kept as well as it can be, not a
// batch that fails forever.
std::string clean_text(const std::string& s)
{
    if (std::all_of(s.begin(), s.end(), [](char c) { return c > 0; })) return s;  // ASCII without NUL
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len != 0 && c != 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
        if (ok && len == 2) ok = c >= 0xC2;
        if (ok && len == 3) {
            const unsigned cp = ((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
            ok = cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (ok && len == 4) {
            const unsigned cp = ((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12);
            ok = cp >= 0x10000 && cp <= 0x10FFFF;
        }
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// The places of kShownPoints in jsonb's own order of keys (shorter first,
// then by bytes): the server then finds them sorted and skips the sort.
const std::array<std::size_t, kShownPoints.size()>& jsonb_key_order()
{
    static const std::array<std::size_t, kShownPoints.size()> order = [] {
        std::array<std::size_t, kShownPoints.size()> places{};
        for (std::size_t i = 0; i < places.size(); ++i) places[i] = i;
        std::sort(places.begin(), places.end(), [](std::size_t a, std::size_t b) {
            const std::string_view x = kShownPoints[a].key, y = kShownPoints[b].key;
            return x.size() != y.size() ? x.size() < y.size() : x < y;
        });
        return places;
    }();
    return order;
}

// The record's values under their keys, numbers bare and states as words.
std::string values_jsonb(const RecordValues& values, std::string& alarms)
{
    std::string out = "{";
    for (const std::size_t i : jsonb_key_order()) {
        if (out.size() > 1) out += ',';
        out += '"';
        out += kShownPoints[i].key;
        out += "\":";
        const std::string text = value_text(values.values[i]);
        if (kShownPoints[i].kind != ShownKind::State) {
            out += text;
            continue;
        }
        out += '"';
        for (char c : clean_text(text)) {
            if (c == '"' || c == '\\') out += '\\';
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += c;
            }
        }
        out += '"';
    }
    out += '}';
    alarms = "{";
    for (int position : values.active_alarms) {
        if (alarms.size() > 1) alarms += ',';
        alarms += std::to_string(position);
    }
    alarms += '}';
    return out;
}

bool same_row(const mqtt::Received& a, const mqtt::Received& b)
{
    if (a.kind == mqtt::Received::Kind::Record)
        return a.record.unit == b.record.unit && a.record.body == b.record.body;
    return a.event.unit == b.event.unit && a.event.ts_ms == b.event.ts_ms && a.event.kind == b.event.kind &&
           a.event.detail == b.event.detail;
}

void field(std::string& row, const std::string& text)
{
    pg::append_copy_text(row, clean_text(text));
    row += '\t';
}

// A field this program made (a number, a time, hex, the values' JSON): valid UTF-8 already.
void own_field(std::string& row, const std::string& text)
{
    pg::append_copy_text(row, text);
    row += '\t';
}

void end_row(std::string& row) { row.back() = '\n'; }

// A message's row as COPY takes it: qm_record's or qm_event's columns.
std::string copy_row(const mqtt::Received& m)
{
    std::string row;
    if (m.kind == mqtt::Received::Kind::Record) {
        const StoredRecord& r = m.record;
        std::string alarms = "{}", values = "{}";
        try {
            values = values_jsonb(read_record_values(r.body), alarms);
        } catch (const std::invalid_argument&) {
        }
        row.reserve(values.size() + 2 * r.body.size() + 256);
        field(row, m.origin.store);
        own_field(row, std::to_string(r.seq));
        field(row, m.origin.site);
        field(row, r.unit);
        own_field(row, std::to_string(r.slave));
        own_field(row, std::to_string(r.device_id));
        own_field(row, iso8601_utc_ms(r.ts_ms));
        field(row, r.local_time);
        own_field(row, r.clock_ok ? "t" : "f");
        row += "\\\\x";  // bytea's \x, its backslash escaped for COPY
        row += pg::hex(r.body);
        row += '\t';
        own_field(row, values);
        own_field(row, alarms);
    } else {
        const StoredEvent& e = m.event;
        field(row, m.origin.store);
        own_field(row, std::to_string(e.seq));
        field(row, m.origin.site);
        if (e.unit.empty()) row += "\\N\t";
        else field(row, e.unit);
        own_field(row, iso8601_utc_ms(e.ts_ms));
        field(row, e.kind);
        field(row, e.detail);
    }
    end_row(row);
    return row;
}

}  // namespace

IngestPostgres::IngestPostgres(const std::string& url, CentreOptions options) : db_(url), options_(options)
{
    db_.exec("SET client_encoding = 'UTF8'");
    db_.exec("SET TimeZone = 'UTC'");
    migrate();
    tend();
}

void IngestPostgres::migrate()
{
    const std::vector<pg::SchemaStep> steps = pg::schema_steps(pg::kCentreSchema);
    try {
        db_.exec("BEGIN");
        db_.exec(std::string("SELECT pg_advisory_xact_lock(") + kSchemaLock + ")");
        int version = 0;
        if (db_.value("SELECT to_regclass('qm_meta')::text")) {
            version = std::stoi(db_.value("SELECT value FROM qm_meta WHERE key = 'schema_version'").value_or("0"));
        } else if (db_.value("SELECT to_regclass('qm_record')::text") || db_.value("SELECT to_regclass('qm_store')::text")) {
            throw StoreError("the database holds qm_ tables but no qm_meta: not a centre this program made");
        }
        if (version > static_cast<int>(steps.size()))
            throw StoreError("the centre's schema is version " + std::to_string(version) + ", newer than this "
                             "program's " + std::to_string(steps.size()) + ": run the newer qmhost");
        for (const pg::SchemaStep& step : steps) {
            if (step.version <= version) continue;
            db_.exec(step.sql);
            db_.exec("INSERT INTO qm_meta(key, value) VALUES ('schema_version', $1) "
                     "ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                     {std::to_string(step.version)});
        }
        db_.exec("INSERT INTO qm_meta(key, value) VALUES ('client_id', $1) ON CONFLICT DO NOTHING",
                 {new_ingest_client_id()});
        client_id_ = db_.value("SELECT value FROM qm_meta WHERE key = 'client_id'").value_or("");
        db_.exec("COMMIT");
    } catch (...) {
        db_.rollback();
        throw;
    }
}

bool IngestPostgres::in_window(int64_t day) const
{
    const int64_t today = day_of(utc_now_ms());
    const int back = options_.keep_days ? *options_.keep_days : kDaysBackWithoutRetention;
    return day >= today - back && day <= today + 1;
}

void IngestPostgres::read_partitions()
{
    for (const char* table : {"qm_record", "qm_event"}) {
        std::set<int64_t>& days = std::string(table) == "qm_record" ? record_days_ : event_days_;
        days.clear();
        const pg::Result r = db_.exec(
            "SELECT to_date(right(c.relname, 8), 'YYYYMMDD') - date '1970-01-01' FROM pg_inherits i "
            "JOIN pg_class c ON c.oid = i.inhrelid WHERE i.inhparent = $1::regclass AND c.relname ~ '_[0-9]{8}$'",
            {std::string(table)});
        for (int i = 0; i < PQntuples(r.get()); ++i) days.insert(std::stoll(PQgetvalue(r.get(), i, 0)));
    }
}

// A day's partition, made with the rows of that day that went to the
// default partition before it existed.
void IngestPostgres::ensure_day(const char* table, int64_t day)
{
    std::set<int64_t>& days = std::string(table) == "qm_record" ? record_days_ : event_days_;
    if (days.count(day)) return;
    const std::string name = std::string(table) + "_" + day_name(day);
    const std::string from = iso8601_utc_ms(day * kDayMs), to = iso8601_utc_ms((day + 1) * kDayMs);
    try {
        db_.exec("BEGIN");
        db_.exec(std::string("SELECT pg_advisory_xact_lock(") + kPartitionLock + ")");
        const bool attached = db_.value("SELECT 1 FROM pg_inherits WHERE inhrelid = to_regclass($1) "
                                        "AND inhparent = $2::regclass",
                                        {name, std::string(table)})
                                  .has_value();
        if (!attached) {
            db_.exec("DROP TABLE IF EXISTS " + name);
            db_.exec("CREATE TABLE " + name + " (LIKE " + table + " INCLUDING DEFAULTS INCLUDING CONSTRAINTS INCLUDING COMPRESSION)");
            db_.exec("WITH moved AS (DELETE FROM " + std::string(table) + "_other WHERE time >= $1 AND time < $2 "
                     "RETURNING *) INSERT INTO " + name + " SELECT * FROM moved",
                     {from, to});
            db_.exec("ALTER TABLE " + std::string(table) + " ATTACH PARTITION " + name + " FOR VALUES FROM ('" +
                     from + "') TO ('" + to + "')");
        }
        db_.exec("COMMIT");
    } catch (...) {
        db_.rollback();
        throw;
    }
    days.insert(day);
}

void IngestPostgres::tend()
{
    const int64_t today = day_of(utc_now_ms());
    const auto now = std::chrono::steady_clock::now();
    if (today == tended_day_ && now - tended_at_ < kTendEvery) return;
    tended_day_ = today;
    tended_at_ = now;
    read_partitions();
    for (const char* table : {"qm_record", "qm_event"})
        for (int64_t day = today - 1; day <= today + 1; ++day)
            if (in_window(day)) ensure_day(table, day);
    if (!options_.keep_days) return;
    const int64_t first_kept = today - *options_.keep_days;
    for (const char* table : {"qm_record", "qm_event"}) {
        std::set<int64_t>& days = std::string(table) == "qm_record" ? record_days_ : event_days_;
        for (auto it = days.begin(); it != days.end() && *it < first_kept;) {
            db_.exec("DROP TABLE IF EXISTS " + std::string(table) + "_" + day_name(*it));
            it = days.erase(it);
        }
        db_.exec("DELETE FROM " + std::string(table) + "_other WHERE time < $1", {iso8601_utc_ms(first_kept * kDayMs)});
    }
}

std::vector<std::string> IngestPostgres::prepare(const std::vector<mqtt::Received>& batch) const
{
    std::vector<std::string> rows;
    rows.reserve(batch.size());
    for (const mqtt::Received& m : batch) rows.push_back(copy_row(m));
    return rows;
}

std::vector<Confirmation> IngestPostgres::commit(const std::vector<mqtt::Received>& batch,
                                                 const std::vector<std::string>& rows, IngestTotals& totals)
{
    if (rows.size() != batch.size()) throw std::logic_error("a batch committed with the rows of another");
    for (int attempt = 1;; ++attempt) {
        IngestTotals added;
        try {
            std::vector<Confirmation> marks = commit_once(batch, rows, added);
            totals.add(added);
            return marks;
        } catch (const pg::Error& e) {
            db_.rollback();
            // Another ingest's batch of the same stores, or its partition, in the way: the batch again.
            if (!e.retry() || attempt == kCommitTries) throw;
        } catch (...) {
            db_.rollback();
            throw;
        }
    }
}

std::vector<Confirmation> IngestPostgres::commit_once(const std::vector<mqtt::Received>& batch,
                                                      const std::vector<std::string>& rows, IngestTotals& added)
{
    using Kind = mqtt::Received::Kind;
    for (const mqtt::Received& m : batch) {
        const int64_t day = day_of(m.kind == Kind::Record ? m.record.ts_ms : m.event.ts_ms);
        if (in_window(day)) ensure_day(m.kind == Kind::Record ? "qm_record" : "qm_event", day);
    }
    // The stores in order, each with the site of its first message.
    std::map<std::string, std::string> first_site;
    for (const mqtt::Received& m : batch) first_site.emplace(m.origin.store, m.origin.site);
    std::vector<std::string> stores, sites;
    for (const auto& [store, site] : first_site) {
        stores.push_back(store);
        sites.push_back(site);
    }
    const std::string store_array = pg::array_literal(stores);

    struct Held {
        std::string site;
        int64_t record_mark = 0, event_mark = 0, record_max = 0, event_max = 0;
        int64_t record_base = 0, event_base = 0;  // what the sites no longer hold
        bool touched = false;
    };
    std::map<std::string, Held> held;
    db_.exec("BEGIN");
    db_.exec("INSERT INTO qm_store(store, site) SELECT * FROM unnest($1::text[], $2::text[]) ORDER BY 1 "
             "ON CONFLICT (store) DO NOTHING",
             {store_array, pg::array_literal(sites)});
    {
        const pg::Result r = db_.exec("SELECT store, site, record_seq, event_seq, record_max, event_max FROM qm_store "
                                      "WHERE store = ANY($1::text[]) ORDER BY store FOR UPDATE",
                                      {store_array});
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            Held& h = held[PQgetvalue(r.get(), i, 0)];
            h.site = PQgetvalue(r.get(), i, 1);
            h.record_mark = h.record_base = std::stoll(PQgetvalue(r.get(), i, 2));
            h.event_mark = h.event_base = std::stoll(PQgetvalue(r.get(), i, 3));
            h.record_max = std::stoll(PQgetvalue(r.get(), i, 4));
            h.event_max = std::stoll(PQgetvalue(r.get(), i, 5));
        }
    }

    // Each message: foreign, new (above the store's highest seq kept), to be
    // looked up, or a duplicate or a reused seq (of a row kept or of one
    // earlier in the batch).
    enum class Fate { Foreign, New, LookUp, Duplicate, Reused };
    std::vector<Fate> fate(batch.size(), Fate::New);
    std::map<std::tuple<Kind, std::string, int64_t>, std::size_t> first;
    std::vector<std::size_t> look_up;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const mqtt::Received& m = batch[i];
        Held& h = held[m.origin.store];
        if (h.site != m.origin.site) {
            fate[i] = Fate::Foreign;
            ++added.foreign;
            added.last_foreign = m.origin.site + " sent rows of " + m.origin.store + ", which " + h.site + " sent first";
            continue;
        }
        h.touched = true;
        const bool record = m.kind == Kind::Record;
        int64_t& base = record ? h.record_base : h.event_base;
        base = std::max(base, m.origin.unconfirmed_from - 1);
        const auto [at, fresh] = first.emplace(std::make_tuple(m.kind, m.origin.store, m.seq()), i);
        if (!fresh) {
            fate[i] = same_row(batch[at->second], m) ? Fate::Duplicate : Fate::Reused;
            continue;
        }
        if (m.seq() <= (record ? h.record_max : h.event_max)) {
            fate[i] = Fate::LookUp;
            look_up.push_back(i);
        }
    }
    for (const Kind kind : {Kind::Record, Kind::Event}) {
        std::vector<std::string> s, q, unit, a, b, c;
        std::map<std::pair<std::string, int64_t>, std::size_t> asked;
        for (std::size_t i : look_up) {
            const mqtt::Received& m = batch[i];
            if (m.kind != kind) continue;
            asked[{m.origin.store, m.seq()}] = i;
            s.push_back(m.origin.store);
            q.push_back(std::to_string(m.seq()));
            if (kind == Kind::Record) {
                unit.push_back(clean_text(m.record.unit));
                a.push_back(pg::hex(m.record.body));
            } else {
                unit.push_back(clean_text(m.event.unit));
                a.push_back(iso8601_utc_ms(m.event.ts_ms));
                b.push_back(clean_text(m.event.kind));
                c.push_back(clean_text(m.event.detail));
            }
        }
        if (s.empty()) continue;
        const pg::Result r =
            kind == Kind::Record
                ? db_.exec("SELECT p.store, p.seq, k.unit = p.unit AND k.body = decode(p.body, 'hex') "
                           "FROM unnest($1::text[], $2::bigint[], $3::text[], $4::text[]) AS p(store, seq, unit, body) "
                           "JOIN qm_record k ON k.store = p.store AND k.seq = p.seq",
                           {pg::array_literal(s), pg::array_literal(q), pg::array_literal(unit), pg::array_literal(a)})
                : db_.exec("SELECT p.store, p.seq, k.unit IS NOT DISTINCT FROM nullif(p.unit, '') AND "
                           "k.time = p.time::timestamptz AND k.kind = p.kind AND k.detail = p.detail "
                           "FROM unnest($1::text[], $2::bigint[], $3::text[], $4::text[], $5::text[], $6::text[]) "
                           "AS p(store, seq, unit, time, kind, detail) "
                           "JOIN qm_event k ON k.store = p.store AND k.seq = p.seq",
                           {pg::array_literal(s), pg::array_literal(q), pg::array_literal(unit), pg::array_literal(a),
                            pg::array_literal(b), pg::array_literal(c)});
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            const auto found = asked.find({PQgetvalue(r.get(), row, 0), std::stoll(PQgetvalue(r.get(), row, 1))});
            if (found != asked.end()) fate[found->second] = *PQgetvalue(r.get(), row, 2) == 't' ? Fate::Duplicate : Fate::Reused;
        }
    }

    std::string records, events;
    records.reserve(batch.size() * 6000);  // a record's row is some 5 KB
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const mqtt::Received& m = batch[i];
        if (fate[i] == Fate::Duplicate) ++added.duplicates;
        if (fate[i] == Fate::Reused) {
            ++added.reused;
            added.last_reused = m.origin.site + "'s store " + m.origin.store + " sent " +
                                (m.kind == Kind::Record ? "record " : "event ") + std::to_string(m.seq()) +
                                " again with other content: the first one kept stays";
        }
        if (fate[i] != Fate::New && fate[i] != Fate::LookUp) continue;
        Held& h = held[m.origin.store];
        if (m.kind == Kind::Record) {
            ++added.records;
            h.record_max = std::max(h.record_max, m.record.seq);
            records += rows[i];
        } else {
            ++added.events;
            h.event_max = std::max(h.event_max, m.event.seq);
            events += rows[i];
        }
    }
    if (!records.empty())
        db_.copy_in("COPY qm_record (store, seq, site, unit, slave, device_id, time, local_time, clock_ok, body, "
                    "\"values\", alarms) FROM STDIN",
                    records);
    if (!events.empty())
        db_.copy_in("COPY qm_event (store, seq, site, unit, time, kind, detail) FROM STDIN", events);

    // Each mark moves over the rows kept right after it, whoever committed
    // them, and stops at the first gap: rows numbered from the mark that
    // equal the mark plus their place are the contiguous run.
    std::vector<std::string> s, record_base, record_top, event_base, event_top;
    for (const auto& [store, h] : held) {
        if (!h.touched) continue;
        s.push_back(store);
        record_base.push_back(std::to_string(std::max(h.record_mark, h.record_base)));
        record_top.push_back(std::to_string(h.record_max));
        event_base.push_back(std::to_string(std::max(h.event_mark, h.event_base)));
        event_top.push_back(std::to_string(h.event_max));
    }
    std::vector<Confirmation> confirmations;
    if (s.empty()) {
        db_.exec("COMMIT");
        return confirmations;
    }
    const std::string advance = R"(
        SELECT b.store,
          b.rbase + (SELECT count(*) FROM (SELECT seq, row_number() OVER (ORDER BY seq) AS n FROM qm_record
                     WHERE store = b.store AND seq > b.rbase AND seq <= b.rtop) x WHERE x.seq = b.rbase + x.n),
          b.ebase + (SELECT count(*) FROM (SELECT seq, row_number() OVER (ORDER BY seq) AS n FROM qm_event
                     WHERE store = b.store AND seq > b.ebase AND seq <= b.etop) x WHERE x.seq = b.ebase + x.n)
        FROM unnest($1::text[], $2::bigint[], $3::bigint[], $4::bigint[], $5::bigint[]) AS b(store, rbase, rtop, ebase, etop))";
    const pg::Params params = {pg::array_literal(s), pg::array_literal(record_base), pg::array_literal(record_top),
                               pg::array_literal(event_base), pg::array_literal(event_top)};
    const pg::Result r = db_.exec(advance, params);
    std::map<std::string, std::pair<std::string, std::string>> marks;
    for (int row = 0; row < PQntuples(r.get()); ++row)
        marks[PQgetvalue(r.get(), row, 0)] = {PQgetvalue(r.get(), row, 1), PQgetvalue(r.get(), row, 2)};
    std::vector<std::string> record_marks, event_marks;
    for (const std::string& store : s) {
        const auto& [record_mark, event_mark] = marks.at(store);
        record_marks.push_back(record_mark);
        event_marks.push_back(event_mark);
        confirmations.push_back({held[store].site, {store, std::stoll(record_mark), std::stoll(event_mark)}});
    }
    db_.exec("UPDATE qm_store SET record_seq = u.rs, event_seq = u.es, record_max = greatest(record_max, u.rm), "
             "event_max = greatest(event_max, u.em), received = now() "
             "FROM unnest($1::text[], $2::bigint[], $3::bigint[], $4::bigint[], $5::bigint[]) AS u(store, rs, es, rm, em) "
             "WHERE qm_store.store = u.store",
             {pg::array_literal(s), pg::array_literal(record_marks), pg::array_literal(event_marks),
              pg::array_literal(record_top), pg::array_literal(event_top)});
    db_.exec("COMMIT");
    return confirmations;
}

}  // namespace agent
