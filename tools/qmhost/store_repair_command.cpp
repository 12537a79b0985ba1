#include "tools/qmhost/store_repair_command.hpp"

#include "tools/qmhost/program_output.hpp"

#include "agent/site_file.hpp"
#include "agent/store_lock.hpp"
#include "agent/store_recovery.hpp"
#include "base/usage_error.hpp"
#include "tools/common/arguments.hpp"

#include <iostream>

namespace {

struct RepairCommandLine {
    std::string action;  // check or recover
    std::string db;      // --db FILE
    std::string site;    // --site FILE
    bool help = false;
};

constexpr const char* kRepairUsage = R"(  qmhost store check (--site FILE | --db FILE)
  qmhost store recover --site FILE
)";

constexpr const char* kRepairHelp = R"(store check: SQLite's integrity check of a site store; prints "ok" and exits 0 when
  it is whole, else what is wrong and exits 1.
store recover: with no agent running on the store (it holds the store's lock), puts the
  damaged file aside as STORE.damaged-TIME, copies every row SQLite can still read into a
  new store under the old name (the same store id and seqs; new seqs go on after the
  highest the damaged store issued) and writes a store_recovered event naming the seq
  ranges lost. Exit 0 recovered; 1 not recovered (the store is then as it was).
)";

RepairCommandLine parse_repair_command(int argc, const char* const* argv)
{
    RepairCommandLine c;
    ArgumentWords words(argc, argv, 2);
    if (words.done()) throw UsageError("store needs check or recover");
    c.action = words.take();
    if (c.action == "--help" || c.action == "-h") {
        c.help = true;
        return c;
    }
    if (c.action != "check" && c.action != "recover")
        throw UsageError("store takes check or recover, not \"" + c.action + "\"");
    const OptionSetters<RepairCommandLine> options = {
        {"--db", [](RepairCommandLine& l, const std::string& v) { l.db = v; }},
        {"--site", [](RepairCommandLine& l, const std::string& v) { l.site = v; }},
    };
    if (!take_options(words, options, c, "store " + c.action)) c.help = true;
    if (c.help) return c;
    if (!c.db.empty() && !c.site.empty()) throw UsageError("give --db or --site, not both");
    if (c.action == "recover" && c.site.empty())
        throw UsageError("store recover needs --site FILE: the new store belongs to its site");
    if (c.db.empty() && c.site.empty()) throw UsageError("store check needs --site FILE or --db FILE");
    return c;
}

std::string ranges_text(const agent::SeqRanges& ranges)
{
    if (ranges.empty()) return "none";
    std::string text;
    for (const auto& [first, last] : ranges)
        text += (text.empty() ? "" : ", ") + std::to_string(first) +
                (first == last ? std::string() : "-" + std::to_string(last));
    return text;
}

int check(const std::string& path)
{
    const std::vector<std::string> found = agent::check_store(path);
    const bool whole = found == std::vector<std::string>{"ok"};
    for (const std::string& line : found) program_output() << (whole ? "" : path + ": ") << line << "\n";
    return whole ? 0 : 1;
}

int recover(const agent::SiteFile& site)
{
    const agent::StoreLock lock(site.store.path);
    const agent::Recovery r = agent::recover_store(site.store.path, site.site);
    program_output() << "recovered " << site.store.path << ": " << r.records_kept << " records and " << r.events_kept
                     << " events kept; records lost: " << ranges_text(r.records_lost)
                     << "; events lost: " << ranges_text(r.events_lost)
                     << (r.store_id_kept ? "" : "; the store's id was lost: the store has a new one")
                     << "; the damaged file is " << r.damaged_file << "\n";
    return 0;
}

}  // namespace

std::string store_repair_usage_text()
{
    return std::string("usage:\n") + kRepairUsage + "\n" + kRepairHelp;
}

int run_store_repair(int argc, const char* const* argv)
{
    const RepairCommandLine c = parse_repair_command(argc, argv);
    int status = 0;
    if (c.help) program_output() << store_repair_usage_text();
    else if (c.action == "check") status = check(c.db.empty() ? agent::read_site_file(c.site).store.path : c.db);
    else status = recover(agent::read_site_file(c.site));
    program_output().flush();
    if (!program_output()) throw std::runtime_error("cannot write standard output");
    return status;
}
