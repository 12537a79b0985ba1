#include "tools/qmhost/host_outputs.hpp"

namespace {

// One --alarms line: the report's seven arguments, in the order the host
// hands them over.
std::string alarm_json_line(JsonLines& lines, const ThresholdReport& r)
{
    return lines.ordered_line({{"seq", r.sequence},
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
}

void HostOutputs::on_send_sp(const ZKVVDevice&, int, const unsigned char*, unsigned int, bool)
{
    published_ = true;
}

void HostOutputs::on_threshold_report(const ZKVVDevice&, const ThresholdReport& report)
{
    if (alarms_) *alarms_ << alarm_json_line(alarm_lines_, report);
    if (report.state) active_.push_back(report.alarm_name);
}

void HostOutputs::on_alarm_transition(const ZKVVDevice&, const AlarmTransition& transition)
{
    transitions_.emplace_back(transition.alarm_name, transition.raised);
}

void HostOutputs::on_save_history(const ZKVVDevice&, const unsigned char* data, unsigned int length)
{
    if (history_) history_->write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
}
