// Feeds arbitrary bytes to the site file's reader as a file's text. A text
// read as a site must hold what the reader promises (a site name, 1 to 64
// lines of 1 to 247 units, slave ids unique on a line and names in the
// site, every device id given, each unit's device JSON made); any other
// text must be refused with a SiteFileError or ConfigError in one line,
// nothing else thrown.
//
// Relative paths in the text are taken from an empty folder of its own.
#include "agent/site_file.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace {

void check(bool holds)
{
    if (!holds) std::abort();
}

// Made once, removed at exit.
const std::string& folder()
{
    static char name[] = "/tmp/qm-site-fuzz-XXXXXX";
    static const std::string made = [] {
        check(::mkdtemp(name) != nullptr);
        std::atexit([] { std::filesystem::remove_all(name); });
        return std::string(name);
    }();
    return made;
}

void check_site(const agent::SiteFile& site)
{
    check(!site.site.empty() && site.site.size() <= 64 && site.hash.size() == 64 && !site.store.path.empty());
    check(!site.lines.empty() && site.lines.size() <= 64);
    std::set<std::string> names;
    for (const agent::SiteLine& line : site.lines) {
        check(!line.units.empty() && line.units.size() <= 247 && line.interval_s >= 0.1 && line.interval_s <= 86400);
        std::set<int> slaves;
        for (const agent::SiteUnit& unit : line.units) {
            check(unit.slave >= 1 && unit.slave <= 247 && slaves.insert(unit.slave).second);
            check(!unit.name.empty() && unit.name != "." && unit.name != ".." && names.insert(unit.name).second);
            check(unit.device_id != 0 && unit.settings.isObject());
            check(agent::unit_device_config(line, unit)["link"].isObject());
        }
    }
    if (site.notify) {
        check(!site.notify->command.empty() && site.notify->command[0][0] == '/' && !site.notify->events.empty());
        check(site.notify->events.count("notify_failed") == 0 && site.notify->timeout_ms >= 100);
        for (const auto& [kind, ms] : site.notify->hold_ms) check(site.notify->events.count(kind) == 1 && ms >= 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        check_site(agent::read_site_text(folder() + "/site.json", text, folder()));
    } catch (const ConfigError& e) {  // SiteFileError is one
        const std::string why = e.what();
        check(!why.empty() && why.find('\n') == std::string::npos);
    }
    return 0;
}
