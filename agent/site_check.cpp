#include "agent/site_check.hpp"

#include "agent/mqtt_client.hpp"
#include "agent/start_checks.hpp"
#include "agent/store_lock.hpp"
#include "agent/unit_values.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <unistd.h>

namespace agent {
namespace {

// The broker has this long to answer the check, as --check-broker gives it.
constexpr int kBrokerCheckTimeoutMs = 10000;

std::string seconds_text(double seconds)
{
    std::ostringstream text;
    text << seconds;
    return text.str();
}

}  // namespace

std::string site_plan_text(const SiteFile& site)
{
    std::ostringstream plan;
    plan << "site " << site.site << "\n";
    plan << "store " << site.store.path << ": records kept " << site.store.keep_days << " days, at most "
         << site.store.max_mb << " MiB\n";
    for (std::size_t l = 0; l < site.lines.size(); ++l) {
        const SiteLine& line = site.lines[l];
        plan << "line " << l << ": " << line.link.describe() << ", every " << seconds_text(line.interval_s)
             << " s\n";
        for (const SiteUnit& unit : line.units)
            plan << "  unit " << unit.name << ": slave " << unit.slave << ", device id " << unit.device_id
                 << ", alarm codes of mode " << alarm_code_mode(unit.settings) << "\n";
    }
    if (site.http.enabled)
        plan << "http " << site.http.address << ":" << site.http.port
             << (site.http.tls_certificate.empty() ? "" : " (TLS)")
             << (site.http.control_token_file.empty() ? ", read-only"
                                                      : ", controls with the token in " + site.http.control_token_file)
             << "\n";
    else
        plan << "http: none (no metrics, API or page)\n";
    if (site.mqtt)
        plan << "mqtt " << site.mqtt->host << ":" << site.mqtt->port << (site.mqtt->tls ? " (TLS)" : "") << ", topics "
             << site.mqtt->topic_prefix << "/" << site.site << "/...\n";
    else
        plan << "mqtt: none (records stay in the store)\n";
    if (site.notify) {
        plan << "notify " << site.notify->command[0] << " for";
        for (const std::string& kind : site.notify->events) plan << " " << kind;
        for (const auto& [kind, ms] : site.notify->hold_ms) plan << ", " << kind << " held " << seconds_text(ms / 1000.0) << " s";
        plan << "\n";
    }
    return plan.str();
}

int check_site_start(const SiteFile& site, std::ostream& out, std::string& failure)
{
    out << site_plan_text(site) << std::flush;
    usable_store_folder(site.store.path);
    {
        const StoreLock lock(site.store.path);
    }
    out << "ok: the store's folder is writable and its lock is free\n" << std::flush;
    for (std::size_t l = 0; l < site.lines.size(); ++l) {
        const LinkSettings& link = site.lines[l].link;
        failure = link.kind == LinkSettings::Kind::Rtu ? serial_device_problem(link.device)
                                                       : tcp_problem(link.host, link.port, link.timeout_ms);
        if (!failure.empty()) {
            failure = "line " + std::to_string(l) + ": " + failure;
            return 1;
        }
        out << "ok: line " << l << ": "
            << (link.kind == LinkSettings::Kind::Rtu ? link.device + " opens"
                                                     : link.host + ":" + std::to_string(link.port) + " answers")
            << "\n"
            << std::flush;
    }
    if (site.http.enabled) {
        check_http_port_free(site.http.address, site.http.port);
        out << "ok: http " << site.http.address << ":" << site.http.port << " is free\n" << std::flush;
    }
    if (site.mqtt) {
        const mqtt::CheckOutcome broker = mqtt::check_broker(*site.mqtt, site.site, kBrokerCheckTimeoutMs);
        if (broker.status != mqtt::check_status::kOk) {
            failure = broker.text;
            return broker.status;
        }
        out << "ok: " << broker.text << "\n" << std::flush;
    }
    if (site.notify) {
        const std::string& program = site.notify->command[0];
        if (::access(program.c_str(), X_OK) != 0) {
            failure = "notify: " + program + " cannot be run: " + std::strerror(errno);
            return 1;
        }
        out << "ok: notify: " << program << " can be run\n" << std::flush;
    }
    return 0;
}

}  // namespace agent
