// qmhost serve: the site agent (agent/site_agent.hpp) run from its site file
// until a stop signal, or the site's broker checked once (--check-broker).
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/program_output.hpp"

#include "agent/mqtt_client.hpp"
#include "agent/site_agent.hpp"
#include "agent/site_check.hpp"
#include "agent/site_file.hpp"
#include "base/whole_lines.hpp"
#include "hosting/plugin_library.hpp"
#include "hosting/stop_signals.hpp"

#include <iostream>
#include <string>

namespace {

// The broker check's answer has its own statuses (check_status), told in
// the one line it prints.
constexpr int kBrokerCheckTimeoutMs = 10000;

ExitStatus check_broker(const agent::SiteFile& site)
{
    if (!site.mqtt) throw agent::SiteFileError("the site file has no \"mqtt\" member: there is no broker to check");
    const agent::mqtt::CheckOutcome outcome = agent::mqtt::check_broker(*site.mqtt, site.site, kBrokerCheckTimeoutMs);
    program_output() << "qmhost: " << outcome.text << std::endl;
    return static_cast<ExitStatus>(outcome.status);
}

// The plan on standard output, the first failure on standard error.
ExitStatus check_site(const agent::SiteFile& site, const std::string& plugin)
{
    const PluginLibrary loaded(plugin);
    std::string failure;
    const int status = agent::check_site_start(site, program_output(), failure);
    if (status != 0) std::cerr << "qmhost: " << failure << std::endl;
    return static_cast<ExitStatus>(status);
}

}  // namespace

ExitStatus run_serve(const CommandLine& c)
{
    const agent::SiteFile site = agent::read_site_file(c.site_file);
    if (c.check_broker) return check_broker(site);
    if (c.check_site) return check_site(site, plugin_path(c.device.plugin));
    // Blocked before any thread starts, so every thread inherits it and the
    // signals come only to the owner's wait.
    StopSignals signals;
    const WholeLineCout whole_lines;
    agent::SiteAgent agent(site, plugin_path(c.device.plugin));
    agent.reload_with([&c] { return agent::read_site_file(c.site_file); });
    return agent.run(signals);
}
