// Where the stand-in host delivers what a device hands it: publications,
// alarm reports and their transitions, batch checks, history, and the
// commands passed on to the framework's own DeviceIoControl.
#pragma once

#include "host/contract.hpp"
#include "host/framework.hpp"

#include <string>
#include <vector>

struct ThresholdReport {
    int level;
    const std::string& code;
    const std::string& code2;
    const std::string& code_name;
    const std::string& alarm_name;
    bool state;
    unsigned short sequence;
};

struct AlarmTransition {
    const std::string& code;
    const std::string& alarm_name;
    bool raised;  // false: cleared
};

using BaseIoControl = contract::IoControlCall;

class HostSink {
public:
    virtual ~HostSink() = default;

    virtual void on_send_sp(const ZKVVDevice&, int /*type*/, const unsigned char* /*data*/,
                            unsigned int /*length*/, bool /*delayed*/) {}
    virtual void on_threshold_report(const ZKVVDevice&, const ThresholdReport&) {}
    virtual void on_alarm_transition(const ZKVVDevice&, const AlarmTransition&) {}
    virtual bool on_batch_check(const ZKVVDevice&, const std::vector<rule_value>&) { return false; }
    virtual void on_save_history(const ZKVVDevice&, const unsigned char* /*data*/,
                                 unsigned int /*length*/) {}
    virtual int on_device_io_control(const ZKVVDevice&, const BaseIoControl&) { return 0; }
};

// A sink that ignores everything; the default for devices without one.
HostSink& null_sink();

// The stand-in's controller: it carries the sink that receives whatever its
// devices hand the host.
class ZKVController {
public:
    explicit ZKVController(HostSink* sink = nullptr) : sink_(sink) {}
    HostSink& sink() const { return sink_ ? *sink_ : null_sink(); }

private:
    HostSink* sink_;
};
