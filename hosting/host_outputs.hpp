// The hosted driver's sink: what it hands the host during a cycle, kept for
// the cycle's summary and passed on to the alarm and history outputs (qmhost
// poll's --alarms and --history files, which it commits at the cycle's end).
#pragma once

#include "host/sink.hpp"
#include "hosting/json_lines.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Told each alarm point report as it arrives, with the point's position:
// its place in the report order, which is the catalogue's, from 0. The
// report's texts live only during the call.
using AlarmPointWatcher = std::function<void(int position, const ThresholdReport& report)>;

// Where one output's bytes go as they arrive: a JSON line per alarm point
// report, a record per history save. Empty: that output is not kept.
using OutputSink = std::function<void(const char* data, std::size_t size)>;

class HostOutputs : public HostSink {
public:
    // Either sink may be empty: that output is not kept. The device id and
    // slave name the unit in each alarm line.
    HostOutputs(OutputSink alarms, OutputSink history, unsigned int device_id, int slave)
        : alarms_(std::move(alarms)), history_(std::move(history)), device_id_(device_id), slave_(slave)
    {
    }

    void begin_cycle();
    bool published() const { return published_; }
    // Alarm names reported active in this cycle, in report order.
    const std::vector<std::string>& active_alarms() const { return active_; }
    // Raised (true) or cleared, by alarm name, in this cycle.
    const std::vector<std::pair<std::string, bool>>& transitions() const { return transitions_; }
    // The record published in this cycle, as the driver handed it.
    const std::vector<unsigned char>& record() const { return record_; }
    void watch_alarm_points(AlarmPointWatcher watcher) { watcher_ = std::move(watcher); }

    void on_send_sp(const ZKVVDevice&, int type, const unsigned char* data, unsigned int length,
                    bool delayed) override;
    void on_threshold_report(const ZKVVDevice&, const ThresholdReport& report) override;
    void on_alarm_transition(const ZKVVDevice&, const AlarmTransition& transition) override;
    void on_save_history(const ZKVVDevice&, const unsigned char* data, unsigned int length) override;

private:
    const std::string& cycle_time_text(const ZKVVDevice& device);

    OutputSink alarms_;
    OutputSink history_;
    unsigned int device_id_;
    int slave_;
    JsonLines alarm_lines_;
    boost::posix_time::ptime time_;  // the cycle time time_text_ was made of
    std::string time_text_;
    bool published_ = false;
    std::vector<std::string> active_;
    std::vector<std::pair<std::string, bool>> transitions_;
    std::vector<unsigned char> record_;
    AlarmPointWatcher watcher_;
    int points_reported_ = 0;
};
