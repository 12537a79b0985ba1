// qmhost's sink: what a driver hands the host during a cycle, kept for the
// cycle's summary and written to the --alarms and --history files as it
// arrives.
#pragma once

#include "host/sink.hpp"
#include "tools/qmhost/json_lines.hpp"

#include <ostream>
#include <string>
#include <utility>
#include <vector>

class HostOutputs : public HostSink {
public:
    // Either stream may be null: that output is not kept.
    HostOutputs(std::ostream* alarms, std::ostream* history) : alarms_(alarms), history_(history) {}

    void begin_cycle();
    bool published() const { return published_; }
    // Alarm names reported active in this cycle, in report order.
    const std::vector<std::string>& active_alarms() const { return active_; }
    // Raised (true) or cleared, by alarm name, in this cycle.
    const std::vector<std::pair<std::string, bool>>& transitions() const { return transitions_; }

    void on_send_sp(const ZKVVDevice&, int type, const unsigned char* data, unsigned int length,
                    bool delayed) override;
    void on_threshold_report(const ZKVVDevice&, const ThresholdReport& report) override;
    void on_alarm_transition(const ZKVVDevice&, const AlarmTransition& transition) override;
    void on_save_history(const ZKVVDevice&, const unsigned char* data, unsigned int length) override;

private:
    std::ostream* alarms_;
    std::ostream* history_;
    JsonLines alarm_lines_;
    bool published_ = false;
    std::vector<std::string> active_;
    std::vector<std::pair<std::string, bool>> transitions_;
};
