#include "tools/qmhost/store_commands.hpp"

#include "tools/qmhost/decoded_report.hpp"
#include "hosting/plugin_library.hpp"
#include "tools/qmhost/program_output.hpp"

#include "agent/site_file.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/time_text.hpp"
#include "host/contract.hpp"
#include "base/usage_error.hpp"
#include "tools/common/arguments.hpp"

#include <json/json.h>

#include <memory>
#include <optional>
#include <stdexcept>

namespace {

enum class Format { Jsonl, Csv, Raw };

struct StoreCommandLine {
    std::string command;     // history or events
    std::string db;          // --db FILE
    std::string site;        // --site FILE
    agent::StoreQuery query;
    Format format = Format::Jsonl;
    std::string plugin;      // empty: next to qmhost
    std::string driver_log;  // empty: standard error
    bool help = false;
};

// The store a command reads: --db, or the one the site file names.
std::string store_path(const StoreCommandLine& c)
{
    if (!c.db.empty() && !c.site.empty()) throw UsageError("give --db or --site, not both");
    if (!c.site.empty()) return agent::read_site_file(c.site).store.path;
    if (c.db.empty()) throw UsageError(c.command + " needs --site FILE or --db FILE, the store to read");
    return c.db;
}

int64_t parse_time(const std::string& option, const std::string& text)
{
    const std::optional<int64_t> ms = agent::parse_iso8601_ms(text);
    if (!ms)
        throw UsageError(option + " needs an ISO 8601 date or a date-time with Z or an offset, e.g. 2026-12-08, "
                                  "2026-12-08T10:02:17Z or 2026-12-08T18:02+08:00, not \"" + text + "\"");
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
        {"--site", [](StoreCommandLine& c, const std::string& v) { c.site = v; }},
        {"--unit", [](StoreCommandLine& c, const std::string& v) { c.query.unit = v; }},
        {"--from", [](StoreCommandLine& c, const std::string& v) { c.query.from_ms = parse_time("--from", v); }},
        {"--to", [](StoreCommandLine& c, const std::string& v) { c.query.to_ms = parse_time("--to", v); }},
        {"--format", [](StoreCommandLine& c, const std::string& v) { c.format = parse_format(c, v); }},
    };
    if (command == "history") {
        options["--plugin"] = [](StoreCommandLine& c, const std::string& v) { c.plugin = v; };
        options["--driver-log"] = [](StoreCommandLine& c, const std::string& v) { c.driver_log = v; };
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

void print_history(agent::StoreReader& store, const StoreCommandLine& c)
{
    std::ostream& out = program_output();
    std::unique_ptr<PluginLibrary> plugin;
    if (c.format == Format::Jsonl)
        plugin = std::make_unique<PluginLibrary>(c.plugin.empty() ? default_plugin_path() : c.plugin);
    if (c.format == Format::Csv) out << "seq,time,unit,slave,device_id,local_time,clock_ok\r\n";
    Json::FastWriter writer;  // as decode writes its reports
    store.each_record(c.query, [&](const agent::StoredRecord& r) {
        if (c.format == Format::Csv) {
            out << r.seq << ',' << agent::iso8601_utc_ms(r.ts_ms) << ',' << csv_field(r.unit) << ',' << r.slave
                << ',' << r.device_id << ',' << csv_field(r.local_time) << ',' << (r.clock_ok ? 1 : 0) << "\r\n";
            return bool(out);
        }
        if (const std::string problem = whole_record(r); !problem.empty()) throw std::runtime_error(problem);
        if (c.format == Format::Raw) {
            out.write(reinterpret_cast<const char*>(r.body.data()), static_cast<std::streamsize>(r.body.size()));
            return bool(out);
        }
        Json::Value report = decoded_report(*plugin, r.body);
        if (store.holds_many_stores()) {
            report["site"] = r.site;
            report["store"] = r.store;
        }
        report["unit"] = r.unit;
        report["slave"] = r.slave;
        report["device_id"] = Json::Int64{r.device_id};
        report["seq"] = Json::Int64{r.seq};
        report["time"] = agent::iso8601_utc_ms(r.ts_ms);
        out << writer.write(report);
        return bool(out);
    });
}

void print_events(agent::StoreReader& store, const StoreCommandLine& c)
{
    std::ostream& out = program_output();
    if (c.format == Format::Csv) out << "seq,time,unit,kind,detail\r\n";
    Json::FastWriter writer;
    Json::CharReaderBuilder json;
    const std::unique_ptr<Json::CharReader> parser(json.newCharReader());
    store.each_event(c.query, [&](const agent::StoredEvent& e) {
        const std::string time = agent::iso8601_utc_ms(e.ts_ms);
        if (c.format == Format::Csv) {
            out << e.seq << ',' << time << ',' << csv_field(e.unit) << ',' << csv_field(e.kind) << ','
                << csv_field(e.detail) << "\r\n";
            return bool(out);
        }
        Json::Value line(Json::objectValue);
        if (store.holds_many_stores()) {
            line["site"] = e.site;
            line["store"] = e.store;
        }
        line["seq"] = Json::Int64{e.seq};
        line["time"] = time;
        line["unit"] = e.unit.empty() ? Json::Value() : Json::Value(e.unit);
        line["kind"] = e.kind;
        if (!parser->parse(e.detail.data(), e.detail.data() + e.detail.size(), &line["detail"], nullptr))
            line["detail"] = e.detail;  // kept as text rather than lost
        out << writer.write(line);
        return bool(out);
    });
}

const char kStoreUsage[] =
    "  qmhost history (--site FILE | --db FILE) [--unit NAME] [--from TIME] [--to TIME]\n"
    "                 [--format jsonl|csv|raw]\n"
    "  qmhost events (--site FILE | --db FILE) [--unit NAME] [--from TIME] [--to TIME] [--format jsonl|csv]\n";

const char kStoreHelp[] = R"(history, events: what a site agent stored, read while the agent writes it.
  --site FILE       the store the site file names (what qmhost serve writes)
  --db FILE         the store: a site's, or a centre's ingest store (qmhost ingest), whose
                    rows come in time order with their site and store added (jsonl)
  --unit NAME       one unit's rows, in time order (default: every unit's, in the order stored)
  --from TIME       rows from this time on, ISO 8601: a date (00:00 UTC) or a date-time with Z
                    or an offset, e.g. 2026-12-08, 2026-12-08T10:02:17Z, 2026-12-08T18:02+08:00
  --to TIME         rows before this time
history --format:
  jsonl             one report per record as decode renders it, with unit, slave, device_id,
                    seq and time (UTC) added (default)
  csv               seq,time,unit,slave,device_id,local_time,clock_ok: one line per record,
                    without the report
  raw               the 459-byte records one after another, as qmhost decode reads them
  --plugin PATH     the driver that renders jsonl (default: as for poll)
events --format:
  jsonl             one line per event: seq, time, unit (null: the agent's own), kind, detail
  csv               seq,time,unit,kind,detail (detail as JSON text)
  Exit status 0; 1 when the store cannot be read; 2 for a command line it cannot run.
)";

}  // namespace

bool is_store_command(const std::string& name)
{
    return name == "history" || name == "events";
}

std::string store_usage_text()
{
    return std::string("usage:\n") + kStoreUsage + "\n" + kStoreHelp;
}

int run_store_command(int argc, const char* const* argv)
{
    const StoreCommandLine c = parse_store_command(argc, argv);
    if (c.help) {
        program_output() << store_usage_text() << std::flush;
        return 0;
    }
    const DriverLog driver_log(c.driver_log);
    agent::StoreReader store(store_path(c));
    if (c.command == "history") print_history(store, c);
    else print_events(store, c);
    program_output().flush();
    if (!program_output()) throw std::runtime_error("cannot write standard output");
    return 0;
}
