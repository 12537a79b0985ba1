#include "hosting/host_outputs.hpp"

#include "hosting/local_time.hpp"

namespace {

// One --alarms line: the unit and its cycle's time, then the report's seven
// arguments, in the order the host hands them over.
std::string alarm_json_line(JsonLines& lines, unsigned int device_id, int slave, const std::string& time,
                            const ThresholdReport& r)
{
    return lines.ordered_line({{"device", device_id},
                               {"slave", slave},
                               {"time", time},
                               {"seq", r.sequence},
                               {"level", r.level},
                               {"code", r.code},
                               {"code2", r.code2},
                               {"code_name", r.code_name},
                               {"alarm_name", r.alarm_name},
                               {"state", r.state}});
}

}  // namespace

void HostOutputs::begin_cycle()
{
    published_ = false;
    active_.clear();
    transitions_.clear();
    record_.clear();
    points_reported_ = 0;
}

void HostOutputs::on_send_sp(const ZKVVDevice&, int, const unsigned char* data, unsigned int length, bool)
{
    published_ = true;
    if (data) record_.assign(data, data + length);
}

const std::string& HostOutputs::cycle_time_text(const ZKVVDevice& device)
{
    if (time_text_.empty() || device.cycle_time() != time_) {
        time_ = device.cycle_time();
        time_text_ = iso8601_local(time_);
    }
    return time_text_;
}

void HostOutputs::on_threshold_report(const ZKVVDevice& device, const ThresholdReport& report)
{
    if (alarms_) {
        const std::string line = alarm_json_line(alarm_lines_, device_id_, slave_, cycle_time_text(device), report);
        alarms_(line.data(), line.size());
    }
    if (report.state) active_.push_back(report.alarm_name);
    if (watcher_) watcher_(points_reported_, report);
    ++points_reported_;
}

void HostOutputs::on_alarm_transition(const ZKVVDevice&, const AlarmTransition& transition)
{
    transitions_.emplace_back(transition.alarm_name, transition.raised);
}

void HostOutputs::on_save_history(const ZKVVDevice&, const unsigned char* data, unsigned int length)
{
    if (history_) history_(reinterpret_cast<const char*>(data), length);
}
