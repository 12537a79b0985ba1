#include "hosting/hosted_device.hpp"

#include "host/contract.hpp"
#include "host/libmodbus_link.hpp"
#include "host/link_settings.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

namespace command = contract::command;

constexpr int kFirstReportCapacity = 64 * 1024;
// A cycle is 45 reads; far more requests than that is a driver that never
// ends its cycle.
constexpr int kMaxRequestsPerCycle = 1000;
constexpr int kMaxRequestsPerControl = 16;

LinkSettings config_link(const Json::Value& config) { return parse_link_settings(config[kLinkMember]); }

}  // namespace

HostedDevice::HostedDevice(const PluginLibrary& plugin, unsigned int device_id, const Json::Value& config,
                           OutputSink alarms, OutputSink history)
    : outputs_(std::move(alarms), std::move(history), device_id, config_link(config).slave),
      controller_(&outputs_),
      device_(plugin.create_device()),
      modbus_(dynamic_cast<SPModbus*>(device_.get())),
      device_id_(device_id),
      slave_(config_link(config).slave),
      link_description_(config_link(config).describe())
{
    if (!modbus_) throw std::runtime_error("the plug-in's device is not a Modbus device");
    device_->Init(&controller_, device_id);
    if (device_->InitSetting(config) != 0)
        throw std::runtime_error("the driver refused its settings: " + modbus_->last_error());
}

HostedDevice::~HostedDevice()
{
    device_->ClosePort();
}

void HostedDevice::open_link()
{
    if (device_->OpenPort() != 0) throw std::runtime_error(modbus().last_error());
}

void HostedDevice::share_line(std::shared_ptr<ModbusLink> link) { modbus().attach_link(std::move(link)); }

ControlResult HostedDevice::control_through_stop(int code, const std::vector<unsigned char>& input,
                                                StopSignals& stop)
{
    set_link_stop_check([&stop] { return stop.requested_again(); });
    ControlResult result = control(code, input);
    set_link_stop_check({});
    result.stopped = stop.requested();
    return result;
}

const StrayInput* HostedDevice::stray_input() const
{
    const ModbusLink* link = modbus_->link();
    return link ? link->stray_input() : nullptr;
}

CycleResult HostedDevice::run_cycle(const std::function<bool()>& stop)
{
    CycleResult result;
    outputs_.begin_cycle();
    device_->RefreshStatus();
    for (int requests = 0; device_->IsProcessing(); ++requests) {
        if (stop && stop()) {
            result.stopped = true;
            return result;
        }
        const int step = modbus().poll_step();
        if (requests == kMaxRequestsPerCycle) {
            result.failed_step = step;
            result.error = "the driver was still requesting after " + std::to_string(requests) + " requests";
            return result;
        }
        if (device_->process() == -1) {
            result.failure = modbus().last_failure();
            result.stopped = result.failure.kind == LinkFailure::Kind::Stopped || (stop && stop());
            result.failed_step = step;
            result.answered = requests;
            result.error = result.failure.text();
            return result;
        }
    }
    result.completed = outputs_.published();
    if (!result.completed) {
        result.failed_step = modbus().poll_step();
        result.error = "the driver stopped requesting without publishing its record";
    }
    return result;
}

std::optional<std::string> HostedDevice::report()
{
    std::vector<char>& text = report_buffer_;
    if (text.empty()) text.resize(kFirstReportCapacity);
    // The driver says how much room it needs when the buffer is too small;
    // the report can grow between the two calls, hence a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int length = 0;
        const int capacity = static_cast<int>(text.size());
        const int rc = device_->DeviceIoControl(command::kReportText, nullptr, 0, text.data(), capacity, length);
        if (rc == 0 && length > 0 && length <= capacity)
            return std::string(text.data(), static_cast<std::size_t>(length));
        if (rc != -1 || length <= capacity) return std::nullopt;
        text.resize(static_cast<std::size_t>(length));
    }
    return std::nullopt;
}

const Json::Value* HostedDevice::report_document()
{
    const Json::Value* document = nullptr;
    int length = 0;
    if (device_->DeviceIoControl(command::kReportHandle, nullptr, 0, &document, sizeof document, length) != 0 ||
        length != static_cast<int>(sizeof document))
        return nullptr;
    return document;
}

ControlResult HostedDevice::control(int code, const std::vector<unsigned char>& input)
{
    ControlResult result;
    int length = 0;
    result.handed = device_->DeviceIoControl(code, input.empty() ? nullptr : input.data(),
                                             static_cast<int>(input.size()), nullptr, 0, length);
    for (int requests = 0; device_->IsProcessing() && requests < kMaxRequestsPerControl; ++requests) {
        result.wrote = true;
        if (device_->process() == -1) {
            result.write_failure = modbus().last_failure();
            break;
        }
    }

    unsigned char answer[sizeof(int32_t)] = {};
    int answered = 0;
    // The driver fills the answer, then passes the code on to the framework,
    // whose return value it returns: only the answer's length tells.
    result.query_returned =
        device_->DeviceIoControl(command::kOutcomeQuery, nullptr, 0, answer, sizeof answer, answered);
    if (answered == static_cast<int>(sizeof answer)) {
        int32_t value = 0;
        std::memcpy(&value, answer, sizeof value);
        result.outcome = value;
    }
    return result;
}
