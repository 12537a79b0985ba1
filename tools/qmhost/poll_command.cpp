// qmhost poll: N cycles, one every interval, on one or several drivers.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/device_config.hpp"
#include "hosting/hosted_device.hpp"
#include "hosting/local_time.hpp"
#include "tools/qmhost/output_file.hpp"
#include "tools/qmhost/poll_progress.hpp"
#include "tools/qmhost/poll_views.hpp"
#include "tools/qmhost/program_output.hpp"
#include "hosting/stop_signals.hpp"
#include "tools/qmhost/stray_input_notes.hpp"
#include "tools/qmhost/summary.hpp"
#include "hosting/unit_health.hpp"

#include "host/contract.hpp"
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

// The driver's alarm lines or history records, added to `file` for the
// cycle's commit; not kept when there is no file.
OutputSink added_to(OutputFile* file)
{
    if (!file) return {};
    return [file](const char* data, std::size_t size) { file->add(data, size); };
}

// The files poll writes. A cycle's lines and record are collected in each
// and committed at the cycle's end, whole or not at all.
class PollOutputs {
public:
    PollOutputs(const PollOptions& o, DriverLog& driver_log) : driver_log_(driver_log)
    {
        report_ = open(o.report, report_file_);
        alarms_ = open(o.alarms, alarms_file_);
        history_ = open(o.history, history_file_, contract::kRecordSize);
        events_ = open(o.events, events_file_);
    }

    // Each output; null when not asked for.
    OutputFile* report() const { return report_; }
    OutputFile* alarms() const { return alarms_; }
    OutputFile* history() const { return history_; }
    OutputFile* events() const { return events_; }
    OutputFile& standard_output() { return standard_output_; }

    // Commits every output; false when one could not be written, which is
    // told once, when it fails.
    bool commit()
    {
        bool written = true;
        for (OutputFile* file : files()) {
            const bool failed_before = file->failed();
            if (file->commit()) continue;
            written = false;
            if (!failed_before) tell(*file);
        }
        return written;
    }

    // Every file opened again by name; false when one could not be.
    bool reopen()
    {
        bool reopened = true;
        for (OutputFile* file : files()) {
            if (file->reopen()) continue;
            reopened = false;
            tell(*file);
        }
        return reopened;
    }

private:
    OutputFile* open(const std::string& path, std::optional<OutputFile>& file, std::size_t record_size = 0)
    {
        if (path.empty()) return nullptr;
        if (path == "-") return &standard_output_;
        file.emplace(path, record_size);
        return &*file;
    }

    std::vector<OutputFile*> files()
    {
        std::vector<OutputFile*> all{&standard_output_};
        for (auto* file : {&report_file_, &alarms_file_, &history_file_, &events_file_})
            if (*file) all.push_back(&**file);
        if (OutputFile* log = driver_log_.collected()) all.push_back(log);
        return all;
    }

    static void tell(const OutputFile& file)
    {
        std::cerr << "qmhost: " << file.problem() << "; polling ends after this cycle" << std::endl;
    }

    DriverLog& driver_log_;
    OutputFile standard_output_{"-"};
    std::optional<OutputFile> report_file_, alarms_file_, history_file_, events_file_;
    OutputFile* report_ = nullptr;
    OutputFile* alarms_ = nullptr;
    OutputFile* history_ = nullptr;
    OutputFile* events_ = nullptr;
};

class Poller {
public:
    // `bus`: the devices are units on one line, told apart by slave id.
    Poller(const CommandLine& c, PollOutputs& outputs, bool bus, PollProgress& progress)
        : options_(c.poll), outputs_(outputs), bus_(bus), progress_(progress)
    {
        set_link_stop_check([this] { return stop_.requested(); });
    }
    ~Poller() { set_link_stop_check({}); }

    void emit_completed(HostedDevice& device, bool several)
    {
        const auto& time = device.device().cycle_time();
        if (outputs_.report()) {
            const std::optional<std::string> report = device.report();
            warn_once_without_report(report.has_value());
            if (report) outputs_.report()->add(report_line(device.device_id(), device.slave(), time, *report));
        }
        const std::string prefix = several ? unit_name(device) + ": " : "";
        if (!options_.points.empty()) {
            outputs_.standard_output().add(points_line(prefix, time, device.report_document(), options_.points));
        } else if (!outputs_.report()) {
            // The summary reads its few members from the document itself.
            const Json::Value* document = device.report_document();
            warn_once_without_report(document != nullptr);
            CycleSummary summary{time, document, device.outputs().active_alarms(), device.outputs().transitions(),
                                 prefix};
            outputs_.standard_output().add(render_summary(summary));
        }
        if (outputs_.events())
            outputs_.events()->add(
                event_lines(time, device.device_id(), device.slave(), device.outputs().transitions()));
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
            const long failed_before = failed, run_before = cycles_run_;
            // When every unit is pausing, the next cycle waits for the first to be due.
            auto wake = next_start;
            const auto first_due = std::min_element(health.begin(), health.end(), [](auto& a, auto& b) {
                                       return a.resume_at() < b.resume_at();
                                   })->resume_at();
            wake = std::max(wake, first_due);
            if (stop_.wait_for(std::max(wake - Clock::now(), Clock::duration::zero()))) break;
            // Between cycles, so that no cycle's lines are split between two files.
            if (stop_.reopen_requested() && !outputs_.reopen()) output_failed_ = true;
            next_start = Clock::now() + interval;
            for (std::size_t i = 0; i < devices.size(); ++i) {
                HostedDevice& device = *devices[i];
                if (!health[i].due(Clock::now())) continue;
                const CycleResult result = device.run_cycle([this] { return stop_.requested(); });
                if (result.stopped) {
                    commit_outputs();
                    return failed;
                }
                ++cycles_run_;
                if (result.completed) {
                    if (health[i].answered()) tell_back(device, health[i], several);
                    health[i].reset();
                    emit_completed(device, several);
                } else {
                    ++failed;
                    note_failure(health[i], result, device, several, cycle);
                }
                commit_outputs();
            }
            strays_.after_cycle(devices, cycle);
            progress_.cycle_done(cycle, cycles_run_ - run_before - (failed - failed_before), failed - failed_before);
            if (output_failed_) break;
        }
        return failed;
    }

    // Writes what is collected: the banner before the first cycle, then each
    // unit's cycle.
    void commit_outputs()
    {
        if (!outputs_.commit()) output_failed_ = true;
    }

    long cycles_run() const { return cycles_run_; }
    bool output_failed() const { return output_failed_; }

private:
    // One line for each failure until the unit counts as lost, then one for
    // the loss.
    void note_failure(UnitHealth& health, const CycleResult& result, const HostedDevice& device, bool several,
                      long cycle)
    {
        const UnitHealth::Failure failure = health.failed(result);
        if (failure == UnitHealth::Failure::StillLost) return;
        const std::string label = device_label(device, several);
        std::cerr << "qmhost: " << label << "cycle " << cycle << " failed at step " << result.failed_step << ": "
                  << result.error << std::endl;
        if (failure != UnitHealth::Failure::Lost) return;
        const std::string now = iso8601_local_now();
        if (outputs_.events())
            outputs_.events()->add(
                health_event_line(now, device.device_id(), device.slave(), "lost", health.failed_in_row()));
        std::cerr << "qmhost: " << now << " " << label << health.lost_text(result)
                  << "; trying again with pauses of up to "
                  << std::chrono::duration_cast<std::chrono::seconds>(UnitHealth::kLongestPause).count()
                  << " s, without a line per failure until it answers" << std::endl;
    }

    void tell_back(const HostedDevice& device, const UnitHealth& health, bool several)
    {
        const std::string now = iso8601_local_now();
        if (outputs_.events())
            outputs_.events()->add(
                health_event_line(now, device.device_id(), device.slave(), "back", health.failed_in_row()));
        std::cerr << "qmhost: " << now << " " << device_label(device, several) << "unit back after "
                  << health.failed_in_row() << " failed cycles" << std::endl;
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
    PollProgress& progress_;
    StopSignals stop_;
    StrayInputNotes strays_;
    void warn_once_without_report(bool have_report)
    {
        if (have_report || warned_no_report_) return;
        std::cerr << "qmhost: the driver gave no report" << std::endl;
        warned_no_report_ = true;
    }

    bool warned_no_report_ = false;
    bool output_failed_ = false;
    long cycles_run_ = 0;
};

std::string slave_list(const std::vector<int>& slaves)
{
    std::string text;
    for (int slave : slaves) text += (text.empty() ? "" : ",") + std::to_string(slave);
    return text;
}

}  // namespace

ExitStatus run_poll(const CommandLine& c, DriverLog& driver_log)
{
    check_point_names(c.poll.points);
    const Json::Value config = load_device_config(c.device, true);
    const std::vector<int> slaves = config_slaves(config);
    if (!slaves.empty() && c.poll.devices > 1)
        throw UsageError("give --devices or several units on one line (\"slaves\", --slave 1,2,3), not both");
    PluginLibrary plugin(plugin_path(c.device.plugin));
    PollOutputs outputs(c.poll, driver_log);
    // When standard output has no line per cycle (results go to files), the
    // banner and signs of life go to standard error.
    const bool summary = !outputs.report() && c.poll.points.empty();
    const bool into_files = !summary && c.poll.points.empty() && c.poll.report != "-";
    PollProgress progress(into_files && !c.poll.quiet, c.poll.interval_s);
    // From here on a stop signal is taken between requests, not delivered.
    Poller poller(c, outputs, !slaves.empty(), progress);

    std::vector<std::unique_ptr<HostedDevice>> devices;
    const auto add_device = [&](int i, const Json::Value& unit_config) {
        devices.push_back(std::make_unique<HostedDevice>(plugin, c.device.device_id + static_cast<unsigned>(i),
                                                         unit_config, added_to(outputs.alarms()),
                                                         added_to(outputs.history())));
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

    const std::string banner =
        "polling " + devices.front()->device().DeviceType() + " (device " + std::to_string(c.device.device_id) +
        ") on " + devices.front()->link_description() +
        (devices.size() > 1 ? " and " + std::to_string(devices.size() - 1) + " more" : "") +
        (slaves.empty() ? "" : ", slaves " + slave_list(slaves) + " in turn") + "\n";
    if (summary) outputs.standard_output().add(banner);
    if (!c.poll.points.empty()) outputs.standard_output().add(points_header(c.poll.points));
    progress.banner(banner);
    poller.commit_outputs();

    const long failed = poller.output_failed() ? 0 : poller.run(devices);
    progress.finish();
    if (poller.output_failed()) return ExitStatus::kOutputFailed;
    if (failed == 0) return ExitStatus::kOk;
    // A single cycle's failure has been told already, in its one line.
    if (poller.cycles_run() > 1)
        std::cerr << "qmhost: " << failed << " of " << poller.cycles_run() << " cycles failed" << std::endl;
    return ExitStatus::kFailed;
}
