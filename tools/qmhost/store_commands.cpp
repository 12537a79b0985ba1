#include "tools/qmhost/store_commands.hpp"

#include "tools/qmhost/decoded_report.hpp"
#include "hosting/plugin_library.hpp"
#include "tools/qmhost/program_output.hpp"

#include "agent/events.hpp"
#include "agent/site_file.hpp"
#include "agent/status_json.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/postgres_url.hpp"
#ifdef QM_WITH_POSTGRES
#include "agent/centre_reader.hpp"
#endif
#include "agent/time_text.hpp"
#include "agent/unit_values.hpp"
#include "driver/catalogues/point_catalogue.hpp"
#include "host/contract.hpp"
#include "base/usage_error.hpp"
#include "tools/common/arguments.hpp"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

enum class Format { Jsonl, Csv, Raw };

struct StoreCommandLine {
    std::string command;     // history or events
    std::string db;          // --db FILE
    std::string site_name;   // --site-name NAME: a centre's rows of one site
    std::string site;        // --site FILE
    agent::StoreQuery query;
    Format format = Format::Jsonl;
    std::string plugin;      // empty: next to qmhost
    std::string driver_log;  // empty: the driver's lines are dropped
    std::vector<std::size_t> keys;  // places in kShownPoints, in the order given
    bool keys_given = false;
    bool help = false;
};

// Every value, in the table's order: what --keys defaults to.
std::vector<std::size_t> all_keys()
{
    std::vector<std::size_t> places(agent::kShownPoints.size());
    for (std::size_t i = 0; i < places.size(); ++i) places[i] = i;
    return places;
}

std::vector<std::size_t> parse_keys(const std::string& text)
{
    std::vector<std::size_t> places;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const std::string key = text.substr(start, end - start);
        const std::optional<std::size_t> place = agent::shown_key_place(key);
        if (!place)
            throw UsageError("--keys: \"" + key + "\" is not a value key (qmhost keys lists them)");
        if (std::find(places.begin(), places.end(), *place) == places.end()) places.push_back(*place);
        start = end + 1;
    }
    return places;
}

// The store a command reads: --db, or the one the site file names.
std::string store_path(const StoreCommandLine& c)
{
    if (!c.db.empty() && !c.site.empty()) throw UsageError("give --db or --site, not both");
    if (!c.site.empty()) return agent::read_site_file(c.site).store.path;
    if (c.db.empty()) throw UsageError(c.command + " needs --site FILE or --db FILE, the store to read");
    return c.db;
}

// now, or now less a count of seconds, minutes, hours or days: -90s, -30m, -1h, -2d.
std::optional<int64_t> relative_time(const std::string& text)
{
    if (text == "now") return agent::utc_now_ms();
    long long count = 0;
    char unit = 0;
    int used = 0;
    if (text.size() < 3 || text.size() > 11 || text[0] != '-' || !std::isdigit(static_cast<unsigned char>(text[1])) ||
        std::sscanf(text.c_str(), "-%lld%c%n", &count, &unit, &used) != 2 || used != static_cast<int>(text.size()))
        return std::nullopt;
    const int64_t unit_ms = unit == 's' ? 1000 : unit == 'm' ? 60'000 : unit == 'h' ? 3'600'000 : unit == 'd' ? 86'400'000 : 0;
    if (unit_ms == 0) return std::nullopt;
    return agent::utc_now_ms() - count * unit_ms;
}

// 2026-12-09T01:58, 2026-12-09T01:58:00 or with a space for the T: the
// machine's own time zone, as the site's clocks read.
std::optional<int64_t> local_time(const std::string& text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    char t = 0;
    const int got = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d%n:%2d%n", &year, &month, &day, &t, &hour, &minute,
                                &used, &second, &used);
    if (got < 6 || used != static_cast<int>(text.size()) || (t != 'T' && t != ' ') ||
        !agent::is_calendar_date(year, month, day) || hour > 23 || minute > 59 || second > 59 || hour < 0 ||
        minute < 0 || second < 0)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<int64_t>(seconds) * 1000;
}

int64_t parse_time(const std::string& option, const std::string& text)
{
    std::optional<int64_t> ms = agent::parse_iso8601_ms(text);
    if (!ms) ms = relative_time(text);
    if (!ms) ms = local_time(text);
    if (!ms)
        throw UsageError(option + " needs a time: ISO 8601 with Z or an offset (2026-12-08T10:02:17Z, "
                                  "2026-12-08T18:02+08:00), a date (2026-12-08, 00:00 UTC), local time without an "
                                  "offset (2026-12-08T18:02), or relative: now, -30m, -1h, -2d; not \"" + text + "\"");
    return *ms;
}

Format parse_format(const StoreCommandLine& c, const std::string& text)
{
    if (text == "jsonl") return Format::Jsonl;
    if (text == "csv") return Format::Csv;
    if (text == "raw" && c.command == "history") return Format::Raw;
    throw UsageError(std::string("--format must be ") + (c.command == "history" ? "jsonl, csv or raw" : "jsonl or csv") +
                     ", not \"" + text + "\"");
}

OptionSetters<StoreCommandLine> store_options(const std::string& command)
{
    OptionSetters<StoreCommandLine> options = {
        {"--db", [](StoreCommandLine& c, const std::string& v) { c.db = v; }},
        {"--site-name", [](StoreCommandLine& c, const std::string& v) { c.site_name = v; }},
        {"--site", [](StoreCommandLine& c, const std::string& v) { c.site = v; }},
        {"--unit", [](StoreCommandLine& c, const std::string& v) { c.query.unit = v; }},
        {"--from", [](StoreCommandLine& c, const std::string& v) { c.query.from_ms = parse_time("--from", v); }},
        {"--to", [](StoreCommandLine& c, const std::string& v) { c.query.to_ms = parse_time("--to", v); }},
        {"--format", [](StoreCommandLine& c, const std::string& v) { c.format = parse_format(c, v); }},
    };
    if (command == "history") {
        options["--plugin"] = [](StoreCommandLine& c, const std::string& v) { c.plugin = v; };
        options["--driver-log"] = [](StoreCommandLine& c, const std::string& v) { c.driver_log = v; };
        options["--keys"] = [](StoreCommandLine& c, const std::string& v) {
            c.keys = parse_keys(v);
            c.keys_given = true;
        };
    }
    return options;
}

StoreCommandLine parse_store_command(int argc, const char* const* argv)
{
    StoreCommandLine c;
    c.command = argv[1];
    ArgumentWords words(argc, argv, 2);
    if (!take_options(words, store_options(c.command), c, c.command)) {
        c.help = true;
        return c;
    }
    if (c.query.from_ms && c.query.to_ms && *c.query.to_ms <= *c.query.from_ms)
        throw UsageError("--to must come after --from");
    if (c.keys_given && c.format == Format::Raw) throw UsageError("--keys goes with --format csv or jsonl, not raw");
    if (!c.keys_given) c.keys = all_keys();
    return c;
}

// RFC 4180: a field with a comma, a quote or a line break goes in quotes.
std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char ch : text) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

std::string whole_record(const agent::StoredRecord& r)
{
    if (r.body.size() == contract::kRecordSize) return {};
    return "record " + std::to_string(r.seq) + " of " + r.unit + " is " + std::to_string(r.body.size()) +
           " bytes, not a " + std::to_string(contract::kRecordSize) + "-byte record";
}

// The driver's report of a record with its tenths written from the
// record's registers (31.2, not the single-precision 31.200000762939453).
Json::Value exact_report(const PluginLibrary& plugin, const std::vector<unsigned char>& record)
{
    Json::Value report = decoded_report(plugin, record);
    for (const ReportPoint& point : kPointCatalogue) {
        if (point.conversion != Conversion::Tenths) continue;
        report[point.member] = agent::cell_value(record, point.source) / 10.0;  // written back at 15 digits
    }
    return report;
}

// The record's values under the keys asked for; empty fields for a record
// that is not whole.
std::vector<std::string> value_fields(const agent::StoredRecord& r, const std::vector<std::size_t>& keys)
{
    std::vector<std::string> fields(keys.size());
    if (r.body.size() != contract::kRecordSize) return fields;
    const agent::RecordValues values = agent::read_record_values(r.body);
    for (std::size_t i = 0; i < keys.size(); ++i) fields[i] = agent::value_text(values.values[keys[i]]);
    return fields;
}

// A record as its summary: the keys' values and the active alarm positions.
Json::Value summary_line(const agent::StoredRecord& r, const std::vector<std::size_t>& keys)
{
    agent::ShownKeys shown;
    for (std::size_t place : keys) shown.set(place);
    Json::Value line = agent::record_summary_json(r, shown);
    line["unit"] = r.unit;
    line["slave"] = r.slave;
    line["device_id"] = Json::Int64{r.device_id};
    return line;
}

template <typename Reader>
void print_history(Reader& store, const StoreCommandLine& c)
{
    std::ostream& out = program_output();
    std::unique_ptr<PluginLibrary> plugin;
    if (c.format == Format::Jsonl && !c.keys_given)
        plugin = std::make_unique<PluginLibrary>(c.plugin.empty() ? default_plugin_path() : c.plugin);
    const bool many = store.holds_many_stores();
    if (c.format == Format::Csv) {
        out << (many ? "site,store," : "") << "seq,time,unit,slave,device_id,local_time,clock_ok";
        for (std::size_t place : c.keys) out << ',' << agent::kShownPoints[place].key;
        out << "\r\n";
    }
    store.each_record(c.query, [&](const agent::StoredRecord& r) {
        if (c.format == Format::Csv) {
            if (many) out << csv_field(r.site) << ',' << csv_field(r.store) << ',';
            out << r.seq << ',' << agent::iso8601_utc_ms(r.ts_ms) << ',' << csv_field(r.unit) << ',' << r.slave
                << ',' << r.device_id << ',' << csv_field(r.local_time) << ',' << (r.clock_ok ? 1 : 0);
            for (const std::string& field : value_fields(r, c.keys)) out << ',' << csv_field(field);
            out << "\r\n";
            return bool(out);
        }
        if (const std::string problem = whole_record(r); !problem.empty()) throw std::runtime_error(problem);
        if (c.format == Format::Raw) {
            out.write(reinterpret_cast<const char*>(r.body.data()), static_cast<std::streamsize>(r.body.size()));
            return bool(out);
        }
        Json::Value line = c.keys_given ? summary_line(r, c.keys) : exact_report(*plugin, r.body);
        if (many) {
            line["site"] = r.site;
            line["store"] = r.store;
        }
        line["unit"] = r.unit;
        line["slave"] = r.slave;
        line["device_id"] = Json::Int64{r.device_id};
        line["seq"] = Json::Int64{r.seq};
        line["time"] = agent::iso8601_utc_ms(r.ts_ms);
        out << agent::compact_json(line) << '\n';
        return bool(out);
    });
}

template <typename Reader>
void print_events(Reader& store, const StoreCommandLine& c)
{
    std::ostream& out = program_output();
    const bool many = store.holds_many_stores();
    if (c.format == Format::Csv) out << (many ? "site,store," : "") << "seq,time,unit,kind,detail\r\n";
    Json::CharReaderBuilder json;
    const std::unique_ptr<Json::CharReader> parser(json.newCharReader());
    store.each_event(c.query, [&](const agent::StoredEvent& e) {
        const std::string time = agent::iso8601_utc_ms(e.ts_ms);
        if (c.format == Format::Csv) {
            if (many) out << csv_field(e.site) << ',' << csv_field(e.store) << ',';
            out << e.seq << ',' << time << ',' << csv_field(e.unit) << ',' << csv_field(e.kind) << ','
                << csv_field(e.detail) << "\r\n";
            return bool(out);
        }
        Json::Value line(Json::objectValue);
        if (many) {
            line["site"] = e.site;
            line["store"] = e.store;
        }
        line["seq"] = Json::Int64{e.seq};
        line["time"] = time;
        line["unit"] = e.unit.empty() ? Json::Value() : Json::Value(e.unit);
        line["kind"] = e.kind;
        if (!parser->parse(e.detail.data(), e.detail.data() + e.detail.size(), &line["detail"], nullptr))
            line["detail"] = e.detail;  // kept as text rather than lost
        out << agent::compact_json(line) << '\n';
        return bool(out);
    });
}

const char kStoreUsage[] =
    "  qmhost history (--site FILE | --db FILE | --db postgresql://... [--site-name SITE]) [--unit NAME]\n"
    "                 [--from TIME] [--to TIME]\n"
    "                 [--format jsonl|csv|raw] [--keys KEY,...]\n"
    "  qmhost events (--site FILE | --db FILE) [--unit NAME] [--from TIME] [--to TIME] [--format jsonl|csv]\n"
    "  qmhost keys [--format text|csv]\n";

const char kStoreHelp[] = R"(history, events: what a site agent stored, read while the agent writes it.
  --site FILE       the store the site file names (what qmhost serve writes)
  --db FILE         the store: a site's, or a centre's ingest store (qmhost ingest), whose
                    rows come in time order with their site and store added (jsonl and csv)
  --db postgresql://USER@HOST/DATABASE   a centre's PostgreSQL database (qmhost ingest),
                    read as an ingest store, its rows always in time order
  --site-name SITE  of a PostgreSQL centre: only that site's rows
  --unit NAME       one unit's rows, in time order (default: every unit's, in the order stored);
                    a name the store does not hold is refused, naming the ones it does
  --from TIME       rows from this time on: ISO 8601 with Z or an offset (2026-12-08T10:02:17Z,
                    2026-12-08T18:02+08:00), a date (2026-12-08, 00:00 UTC), local time without
                    an offset (2026-12-08T18:02), or relative to now: now, -90s, -30m, -1h, -2d
  --to TIME         rows before this time
history --format:
  jsonl             one report per record as decode renders it, with unit, slave, device_id,
                    seq and time (UTC) added (default); with --keys, the record's values under
                    those keys and its active alarm positions instead of the report
  csv               seq,time,unit,slave,device_id,local_time,clock_ok, then one column per
                    value key (default: every key, as qmhost keys lists them)
  raw               the 459-byte records one after another, as qmhost decode reads them
  --keys KEY,...    the values to export, in this order (qmhost keys lists them)
  --plugin PATH     the driver that renders jsonl (default: as for poll)
  --driver-log FILE the driver's own log lines while rendering (default: dropped)
events --format:
  jsonl             one line per event: seq, time, unit (null: the agent's own), kind, detail
  csv               seq,time,unit,kind,detail (detail as JSON text)
  Exit status 0; 1 when the store cannot be read; 2 for a command line it cannot run.
keys: every value key the agent shows (status, API, metrics, MQTT summary, history),
  with its unit of measure, kind and the report member it comes from.
)";

// The driver's own lines (its log on standard output) while history renders
// records: dropped unless --driver-log names a file, so the export's
// standard error carries only qmhost's words.
class DroppedLines : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A --unit the store holds no rows of (nor the site file names) is a
// mistake, not an empty answer.
template <typename Reader>
void check_unit(Reader& store, const StoreCommandLine& c)
{
    if (c.query.unit.empty()) return;
    std::vector<std::string> known = store.units();
    if (!c.site.empty())
        for (const agent::SiteLine& line : agent::read_site_file(c.site).lines)
            for (const agent::SiteUnit& unit : line.units) known.push_back(unit.name);
    std::sort(known.begin(), known.end());
    known.erase(std::unique(known.begin(), known.end()), known.end());
    if (std::find(known.begin(), known.end(), c.query.unit) != known.end()) return;
    std::string names;
    for (const std::string& name : known) names += (names.empty() ? "" : ", ") + name;
    throw UsageError("--unit: the store has no unit named \"" + c.query.unit + "\"" +
                     (known.empty() ? std::string(" (it holds no rows)") : "; it has " + names));
}

}  // namespace

bool is_store_command(const std::string& name)
{
    return name == "history" || name == "events" || name == "keys";
}

std::string store_usage_text()
{
    return std::string("usage:\n") + kStoreUsage + "\n" + kStoreHelp;
}

namespace {

const char* kind_word(agent::ShownKind kind)
{
    switch (kind) {
    case agent::ShownKind::Tenths: return "decimal";
    case agent::ShownKind::State: return "state";
    case agent::ShownKind::Whole:
    case agent::ShownKind::Total: return "integer";
    }
    return "";
}

// The text and spaces to `width` characters (°C is two).
std::string padded(const std::string& text, std::size_t width)
{
    const auto characters = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    return text + std::string(characters < width ? width - characters : 1, ' ');
}

// qmhost keys: the value table, as text columns or as CSV.
int run_keys(int argc, const char* const* argv)
{
    bool csv = false;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            program_output() << store_usage_text() << std::flush;
            return 0;
        }
        if (word != "--format" || i + 1 == argc || (std::string(argv[i + 1]) != "csv" && std::string(argv[i + 1]) != "text"))
            throw UsageError("keys takes only --format text|csv");
        csv = std::string(argv[++i]) == "csv";
    }
    std::ostream& out = program_output();
    if (csv) out << "key,unit,kind,member\r\n";
    for (const agent::ShownPoint& point : agent::kShownPoints) {
        if (csv) {
            out << point.key << ',' << point.unit << ',' << kind_word(point.kind) << ',' << csv_field(point.member)
                << "\r\n";
            continue;
        }
        out << padded(point.key, 45) << padded(point.unit, 5) << padded(kind_word(point.kind), 9) << point.member
            << '\n';
    }
    out.flush();
    return 0;
}

}  // namespace

int run_store_command(int argc, const char* const* argv)
{
    if (std::string(argv[1]) == "keys") return run_keys(argc, argv);
    const StoreCommandLine c = parse_store_command(argc, argv);
    if (c.help) {
        program_output() << store_usage_text() << std::flush;
        return 0;
    }
    DroppedLines dropped;
    std::optional<DriverLog> driver_log;
    std::streambuf* saved = nullptr;
    if (!c.driver_log.empty()) driver_log.emplace(c.driver_log);
    else {
        program_output();  // bound to standard output first
        std::cout.flush();
        saved = std::cout.rdbuf(&dropped);
    }
    struct Restore {
        std::streambuf* saved;
        ~Restore()
        {
            if (saved) std::cout.rdbuf(saved);
        }
    } restore{saved};
    const auto read = [&c](auto& store) {
        check_unit(store, c);
        if (c.command == "history") print_history(store, c);
        else print_events(store, c);
    };
    const std::string db = store_path(c);
    if (agent::is_postgres_url(db)) {
#ifdef QM_WITH_POSTGRES
        agent::CentreReader centre(db, c.site_name);
        read(centre);
#else
        throw UsageError("this qmhost was built without PostgreSQL (libpq)");
#endif
    } else {
        if (!c.site_name.empty()) throw UsageError("--site-name reads a centre's PostgreSQL database");
        agent::StoreReader store(db);
        read(store);
    }
    program_output().flush();
    if (!program_output()) throw std::runtime_error("cannot write standard output");
    return 0;
}
