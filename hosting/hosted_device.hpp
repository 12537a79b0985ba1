// One driver on the stand-in host: its controller and sink, its settings,
// and the host's loop around it (a polling cycle, the 801 report, a control
// command and its outcome).
#pragma once

#include <json/json.h>

#include "host/link.hpp"
#include "hosting/host_outputs.hpp"
#include "hosting/plugin_library.hpp"
#include "hosting/stop_signals.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct CycleResult {
    bool completed = false;  // the driver published its record
    bool stopped = false;    // abandoned because a stop was asked for
    int failed_step = 0;     // poll step of the request that failed
    int answered = 0;        // requests answered in the cycle before it failed
    LinkFailure failure;     // the request that failed; kind None when the driver ended the cycle otherwise
    std::string error;       // why the cycle did not complete, for people
};

struct ControlResult {
    int handed = 0;       // what DeviceIoControl returned for the command
    bool wrote = false;   // the command made the driver send a request
    std::optional<LinkFailure> write_failure;
    std::optional<int32_t> outcome;  // the outcome query's answer
    int query_returned = 0;
    bool stopped = false;  // a stop signal came while the command was outstanding
};

class HostedDevice {
public:
    // Creates the driver and gives it its id and settings; throws
    // std::runtime_error when the driver refuses them.
    HostedDevice(const PluginLibrary& plugin, unsigned int device_id, const Json::Value& config,
                 OutputSink alarms, OutputSink history);
    ~HostedDevice();

    // Opens the Modbus line now rather than at the first request, so a line
    // that cannot be opened is reported before any cycle; throws with the
    // link's error, which names the device path or address.
    void open_link();
    // Puts the driver on a line it shares with other units' drivers, in place
    // of the one its settings made (not opened yet).
    void share_line(std::shared_ptr<ModbusLink> link);

    // RefreshStatus, then process() until the cycle has completed or a
    // request failed; `stop` is asked between requests, and after a request
    // that failed because the link was stopped while it waited.
    CycleResult run_cycle(const std::function<bool()>& stop = {});
    // The driver's 801 report text; nothing when the driver gives none.
    std::optional<std::string> report();
    // The driver's report document itself (803), for reading a few members
    // without rendering and parsing the text; null when the driver gives none.
    const Json::Value* report_document();
    ControlResult control(int code, const std::vector<unsigned char>& input);
    // control() with stop signals held: the unit may act on a write already
    // sent, so a first SIGINT or SIGTERM lets its answer be awaited up to the
    // link's timeout; a second ends the wait at once.
    ControlResult control_through_stop(int code, const std::vector<unsigned char>& input, StopSignals& stop);

    const HostOutputs& outputs() const { return outputs_; }
    void watch_alarm_points(AlarmPointWatcher watcher) { outputs_.watch_alarm_points(std::move(watcher)); }
    ZKVSPDevice& device() { return *device_; }
    unsigned int device_id() const { return device_id_; }
    int slave() const { return slave_; }
    const std::string& link_description() const { return link_description_; }
    // What the device's line discarded before requests; null when it never does.
    const StrayInput* stray_input() const;

private:
    SPModbus& modbus() { return *modbus_; }

    HostOutputs outputs_;
    ZKVController controller_;
    std::unique_ptr<ZKVSPDevice> device_;
    SPModbus* modbus_;
    unsigned int device_id_;
    int slave_;
    std::string link_description_;
    std::vector<char> report_buffer_;
};
