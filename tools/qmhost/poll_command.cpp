// qmhost poll: N cycles, one every interval, on one or several drivers.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/device_config.hpp"
#include "tools/qmhost/hosted_device.hpp"
#include "tools/qmhost/output_file.hpp"
#include "tools/qmhost/poll_views.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/stop_signals.hpp"
#include "tools/qmhost/summary.hpp"

#include "host/libmodbus_link.hpp"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct PollOutputs {
    std::optional<OutputFile> report, alarms, history, events;

    explicit PollOutputs(const PollOptions& o)
    {
        if (!o.report.empty()) report.emplace(o.report);
        if (!o.alarms.empty()) alarms.emplace(o.alarms);
        if (!o.history.empty()) history.emplace(o.history);
        if (!o.events.empty()) events.emplace(o.events);
    }
    std::ostream* alarm_stream() { return alarms ? &alarms->stream() : nullptr; }
    std::ostream* history_stream() { return history ? &history->stream() : nullptr; }
};

// Failed cycles in a row before a unit is taken as lost: from then on its
// failures are not told one by one, and its attempts are spaced out.
constexpr int kLostAfter = 3;
constexpr auto kFirstPause = std::chrono::milliseconds(250);
constexpr auto kLongestPause = std::chrono::seconds(10);

// How one unit has been answering.
struct UnitHealth {
    long failed_in_row = 0;
    long same_step_in_row = 0;  // failures in a row at one step, of one kind
    int last_step = -1;
    LinkFailure last_failure;
    bool lost = false;
    Clock::duration pause{};
    Clock::time_point resume_at{};  // no attempt before
};

class Poller {
public:
    // `bus`: the devices are units on one line, told apart by slave id.
    Poller(const CommandLine& c, PollOutputs& outputs, bool bus) : options_(c.poll), outputs_(outputs), bus_(bus)
    {
        set_link_stop_check([this] { return stop_.requested(); });
    }
    ~Poller() { set_link_stop_check({}); }

    void emit_completed(HostedDevice& device, bool several)
    {
        if (outputs_.report) {
            const std::optional<std::string> report = device.report();
            warn_once_without_report(report.has_value());
            std::ostream& out = outputs_.report->stream();
            if (report) out << *report << (report->back() == '\n' ? "" : "\n");
            out.flush();
        }
        const std::string prefix = several ? unit_name(device) + ": " : "";
        if (!options_.points.empty()) {
            program_output() << points_line(prefix, device.device().cycle_time(), device.report_document(),
                                            options_.points)
                             << std::flush;
        } else if (!outputs_.report) {
            // The summary reads its few members from the document itself.
            const Json::Value* document = device.report_document();
            warn_once_without_report(document != nullptr);
            CycleSummary summary{device.device().cycle_time(), document, device.outputs().active_alarms(),
                                 device.outputs().transitions(),
                                 prefix};
            program_output() << render_summary(summary) << std::flush;
        }
        if (outputs_.events)
            outputs_.events->stream() << event_lines(device.device().cycle_time(), device.device_id(), device.slave(),
                                                     device.outputs().transitions())
                                      << std::flush;
        if (outputs_.alarms) outputs_.alarms->stream().flush();
        if (outputs_.history) outputs_.history->stream().flush();
    }

    // Runs the cycles; the number of failed device cycles.
    long run(std::vector<std::unique_ptr<HostedDevice>>& devices)
    {
        const auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options_.interval_s));
        std::vector<UnitHealth> health(devices.size());
        const bool several = devices.size() > 1;
        auto next_start = Clock::now();
        long failed = 0;
        for (long cycle = 1; options_.cycles == 0 || cycle <= options_.cycles; ++cycle) {
            // When every unit is pausing, the next cycle waits for the first to be due.
            auto wake = next_start;
            const auto first_due = std::min_element(health.begin(), health.end(), [](auto& a, auto& b) {
                                       return a.resume_at < b.resume_at;
                                   })->resume_at;
            wake = std::max(wake, first_due);
            if (stop_.wait_for(std::max(wake - Clock::now(), Clock::duration::zero()))) break;
            next_start = Clock::now() + interval;
            for (std::size_t i = 0; i < devices.size(); ++i) {
                HostedDevice& device = *devices[i];
                if (health[i].resume_at > Clock::now()) continue;
                const CycleResult result = device.run_cycle([this] { return stop_.requested(); });
                if (result.stopped) return failed;
                ++cycles_run_;
                if (result.completed) {
                    if (health[i].lost)
                        std::cerr << "qmhost: " << device_label(device, several) << "unit back after "
                                  << health[i].failed_in_row << " failed cycles" << std::endl;
                    health[i] = UnitHealth{};
                    emit_completed(device, several);
                    continue;
                }
                ++failed;
                note_failure(health[i], result, device_label(device, several), cycle);
            }
        }
        return failed;
    }

    long cycles_run() const { return cycles_run_; }

private:
    // One line for each failure until the unit counts as lost, then one for
    // the loss; its attempts then wait a pause that doubles up to a bound.
    void note_failure(UnitHealth& health, const CycleResult& result, const std::string& label, long cycle)
    {
        ++health.failed_in_row;
        const bool same = result.failed_step == health.last_step && same_kind(result.failure, health.last_failure);
        health.same_step_in_row = same ? health.same_step_in_row + 1 : 1;
        health.last_step = result.failed_step;
        health.last_failure = result.failure;
        if (!health.lost) {
            std::cerr << "qmhost: " << label << "cycle " << cycle << " failed at step " << result.failed_step
                      << ": " << result.error << std::endl;
            if (health.failed_in_row < kLostAfter) return;
            health.lost = true;
            std::cerr << "qmhost: " << label << lost_text(health, result) << "; trying again with pauses of up to "
                      << std::chrono::duration_cast<std::chrono::seconds>(kLongestPause).count()
                      << " s, without a line per failure until it answers" << std::endl;
        }
        health.pause = health.pause == Clock::duration::zero()
                           ? Clock::duration(kFirstPause)
                           : std::min<Clock::duration>(2 * health.pause, kLongestPause);
        health.resume_at = Clock::now() + health.pause;
    }

    static bool same_kind(const LinkFailure& a, const LinkFailure& b)
    {
        return a.kind == b.kind && a.exception_code == b.exception_code;
    }

    // A unit that refuses one of the cycle's requests every time, or leaves
    // it unanswered while it answers the others, lacks what that one reads;
    // otherwise it is gone.
    static bool lacks_the_block(const UnitHealth& health, const CycleResult& result)
    {
        using Kind = LinkFailure::Kind;
        const Kind kind = result.failure.kind;
        return health.same_step_in_row >= kLostAfter &&
               (kind == Kind::Exception || (kind == Kind::NoAnswer && result.answered > 0));
    }

    static std::string lost_text(const UnitHealth& health, const CycleResult& result)
    {
        if (lacks_the_block(health, result))
            return "step " + std::to_string(result.failed_step) + " (" + result.failure.request + ") failed in " +
                   std::to_string(health.same_step_in_row) +
                   " cycles in a row while the unit answers the others: the unit seems not to have them";
        return "unit lost: " + std::to_string(health.failed_in_row) + " cycles failed in a row";
    }

    std::string device_label(const HostedDevice& device, bool several) const
    {
        return several ? unit_name(device) + " " : "";
    }

    std::string unit_name(const HostedDevice& device) const
    {
        const std::string name = "device " + std::to_string(device.device_id());
        return bus_ ? name + " (slave " + std::to_string(device.slave()) + ")" : name;
    }

    const PollOptions& options_;
    PollOutputs& outputs_;
    bool bus_;
    StopSignals stop_;
    void warn_once_without_report(bool have_report)
    {
        if (have_report || warned_no_report_) return;
        std::cerr << "qmhost: the driver gave no report" << std::endl;
        warned_no_report_ = true;
    }

    bool warned_no_report_ = false;
    long cycles_run_ = 0;
};

std::string slave_list(const std::vector<int>& slaves)
{
    std::string text;
    for (int slave : slaves) text += (text.empty() ? "" : ",") + std::to_string(slave);
    return text;
}

}  // namespace

ExitStatus run_poll(const CommandLine& c)
{
    check_point_names(c.poll.points);
    const Json::Value config = load_device_config(c.device, true);
    const std::vector<int> slaves = config_slaves(config);
    if (!slaves.empty() && c.poll.devices > 1)
        throw UsageError("give --devices or several units on one line (\"slaves\", --slave 1,2,3), not both");
    PluginLibrary plugin(plugin_path(c.device.plugin));
    PollOutputs outputs(c.poll);
    // From here on a stop signal is taken between requests, not delivered.
    Poller poller(c, outputs, !slaves.empty());

    std::vector<std::unique_ptr<HostedDevice>> devices;
    const auto add_device = [&](int i, const Json::Value& unit_config) {
        devices.push_back(std::make_unique<HostedDevice>(plugin, c.device.device_id + static_cast<unsigned>(i),
                                                         unit_config, outputs.alarm_stream(),
                                                         outputs.history_stream()));
    };
    if (slaves.empty()) {
        for (int i = 0; i < c.poll.devices; ++i) add_device(i, i == 0 ? config : with_port_offset(config, i));
    } else {
        // Units on one line: one driver each, all over the one open line.
        const auto lines = make_shared_line_links(config_link(config), slaves);
        for (std::size_t i = 0; i < slaves.size(); ++i) {
            add_device(static_cast<int>(i), for_slave(config, slaves[i]));
            devices.back()->share_line(lines[i]);
        }
    }
    // A line that cannot be opened now is tried again at each cycle, and
    // its error told there: it does not stop the other units.
    for (auto& device : devices) {
        try {
            device->open_link();
        } catch (const std::runtime_error&) {
        }
    }

    if (!outputs.report && c.poll.points.empty())
        program_output() << "polling " << devices.front()->device().DeviceType() << " (device " << c.device.device_id
                  << ") on " << devices.front()->link_description()
                  << (devices.size() > 1 ? " and " + std::to_string(devices.size() - 1) + " more" : "")
                  << (slaves.empty() ? "" : ", slaves " + slave_list(slaves) + " in turn") << std::endl;

    const long failed = poller.run(devices);
    if (failed == 0) return ExitStatus::kOk;
    // A single cycle's failure has been told already, in its one line.
    if (poller.cycles_run() > 1)
        std::cerr << "qmhost: " << failed << " of " << poller.cycles_run() << " cycles failed" << std::endl;
    return ExitStatus::kFailed;
}
