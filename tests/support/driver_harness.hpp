// A driver on the stand-in host with an in-memory unit and a sink that
// records everything the driver hands the host, in order.
#pragma once

#include "driver/QM4700RX2VA9.hpp"
#include "host/memory_unit.hpp"
#include "host/sink.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct RecordedReport {
    int level;
    std::string code, code2, code_name, alarm_name;
    bool state;
    unsigned short sequence;
    unsigned short counter_during_call;
};

struct RecordedBaseCall {
    int code;
    const void* input;
    int input_length;
    void* output;
    int output_capacity;
    int* returned_length;
};

class RecordingSink : public HostSink {
public:
    std::vector<std::string> events;  // "SendSP", "Report", "BatchCheck", "SaveHistory", "Base"
    std::vector<std::vector<unsigned char>> published;
    std::vector<std::vector<unsigned char>> history;
    std::vector<int> published_types;
    std::vector<bool> published_flags;
    std::vector<RecordedReport> reports;
    std::vector<std::pair<std::string, bool>> transitions;  // alarm name, raised
    std::vector<RecordedBaseCall> base_calls;
    std::vector<size_t> batch_rule_counts;
    bool batch_result = false;
    int base_result = 0;
    std::function<void(const ThresholdReport&)> report_hook;

    void on_send_sp(const ZKVVDevice&, int type, const unsigned char* data, unsigned int length,
                    bool delayed) override
    {
        events.push_back("SendSP");
        published.emplace_back(data, data + length);
        published_types.push_back(type);
        published_flags.push_back(delayed);
    }
    void on_threshold_report(const ZKVVDevice& device, const ThresholdReport& r) override
    {
        events.push_back("Report");
        reports.push_back({r.level, r.code, r.code2, r.code_name, r.alarm_name, r.state, r.sequence,
                           device.alarm_sequence()});
        if (report_hook) report_hook(r);
    }
    void on_alarm_transition(const ZKVVDevice&, const AlarmTransition& t) override
    {
        transitions.emplace_back(t.alarm_name, t.raised);
    }
    bool on_batch_check(const ZKVVDevice&, const std::vector<rule_value>& rules) override
    {
        events.push_back("BatchCheck");
        batch_rule_counts.push_back(rules.size());
        return batch_result;
    }
    void on_save_history(const ZKVVDevice&, const unsigned char* data, unsigned int length) override
    {
        events.push_back("SaveHistory");
        history.emplace_back(data, data + length);
    }
    int on_device_io_control(const ZKVVDevice&, const BaseIoControl& call) override
    {
        events.push_back("Base");
        base_calls.push_back({call.code, call.input, call.input_length, call.output,
                              call.output_capacity, &call.returned_length});
        return base_result;
    }
    void clear()
    {
        *this = RecordingSink{};
    }
};

// The driver with the host's poll step reachable, so a test can deliver an
// answer at any step.
class TestDriver : public QM4700RX2VA9 {
public:
    void set_poll_step(int step) { m_poll_step = step; }
    void set_answer_words(unsigned short word0, unsigned short word1)
    {
        m_tab_registers[0] = word0;
        m_tab_registers[1] = word1;
    }
};

class DriverHarness {
public:
    explicit DriverHarness(unsigned int device_id = 7) : unit(std::make_shared<MemoryUnit>())
    {
        driver.Init(&controller, device_id);
        driver.attach_link(unit);
    }

    // Starts a cycle and serves requests until none is outstanding.
    void run_cycle()
    {
        driver.RefreshStatus();
        serve();
    }

    void serve()
    {
        for (int guard = 0; driver.IsProcessing() && guard < 1000; ++guard) driver.process();
    }

    const unsigned char* record_bytes() const
    {
        return reinterpret_cast<const unsigned char*>(&driver.data());
    }
    QM4700RX2VA9_Data_t& record() { return const_cast<QM4700RX2VA9_Data_t&>(driver.data()); }

    RecordingSink sink;
    ZKVController controller{&sink};
    std::shared_ptr<MemoryUnit> unit;
    TestDriver driver;
};

// Runs `body` with the driver's standard output captured; returns it.
template <typename Body>
std::string captured_stdout(Body&& body)
{
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}
