// What the driver and the host that loads it agree on: the command codes the
// host hands to DeviceIoControl, the control results it reads back, the
// limits of a request and of the record, the Modbus function codes and where
// the answers land. It lives beside the host's declarations because the
// stand-in host and its links need it and must not depend on the driver; the
// driver, the tools and the benchmarks take every such value from here.
#pragma once

#include <cstddef>

namespace contract {

// Command codes. A write's code is also the poll step while its answer is
// outstanding: the step alone routes the unit's answer to the write.
namespace command {
inline constexpr int kSwitchOn = 100;             // unit on: on/off bit := 1
inline constexpr int kSwitchOff = 102;            // unit off: on/off bit := 0
inline constexpr int kTemperatureSetpoint = 106;  // one input word, whole degrees
inline constexpr int kHumiditySetpoint = 110;     // one input word, whole percent
inline constexpr int kWriteRegister = 206;        // input words: address, value
inline constexpr int kWriteRegisters = 210;       // input words: address, then the values
inline constexpr int kSignalSetpoint = 310;       // JSON text; becomes 106 or 110 when it writes
inline constexpr int kSignalSwitch = 320;         // signal-code text; becomes 100 or 102 when it writes
inline constexpr int kReportText = 801;           // the status report, rendered into the output buffer
inline constexpr int kReportHandle = 803;         // a pointer to the report document itself
// Any code the driver lists for nothing answers with the last control
// result; the tools ask with 0.
inline constexpr int kOutcomeQuery = 0;
}  // namespace command

// One DeviceIoControl call as the host hands it over: the code, the input,
// the output buffer and the length returned in it.
struct IoControlCall {
    int code;
    const void* input;
    int input_length;
    void* output;
    int output_capacity;
    int& returned_length;
};

// DeviceIoControl's result for command input the driver refuses; nothing
// is sent to the unit.
inline constexpr int kCommandRefused = -1;

// The control result the outcome query answers with, a 32-bit int.
inline constexpr int kControlPending = -1;      // no write yet, or its answer has not come
inline constexpr int kControlConfirmed = 1;     // the unit's answer holds what was written
inline constexpr int kControlNotConfirmed = 3;  // the unit answered with something else

// Limits of one request: what a Modbus frame can carry, and so what the
// host's answer tables hold whole.
inline constexpr int kMaxReadBits = 2000;
inline constexpr int kMaxReadRegisters = 125;
inline constexpr int kMaxWriteRegisters = 123;

// The record the driver publishes once per cycle and the host caches: its
// type number and its size in bytes, which a cached record must match.
inline constexpr int kRecordType = 5156;
inline constexpr std::size_t kRecordSize = 459;

// Modbus function codes the host's links speak.
namespace modbus {
inline constexpr int kReadBits = 0x01;
inline constexpr int kReadRegisters = 0x03;
inline constexpr int kWriteBit = 0x05;
inline constexpr int kWriteRegister = 0x06;
inline constexpr int kWriteRegisters = 0x10;
}  // namespace modbus

// Where the host leaves a write's answer in the register-answer table:
// a single write's echoed value in word 0; a multiple-register write's
// function code in word 0 and its confirmed count in word 1.
inline constexpr int kEchoWord = 0;
inline constexpr int kFunctionWord = 0;
inline constexpr int kCountWord = 1;

// process_payload's result: 0 once the answer completed the cycle or the
// write, 1 otherwise (the next read sent, or an answer no step expects).
// The host does not act on it; it learns whether more is to come from
// IsProcessing.
inline constexpr int kPayloadMore = 1;
inline constexpr int kPayloadDone = 0;

// The device JSON's top-level members the driver reads its settings from;
// the host reads "link", and what neither reads is a mistake worth naming.
namespace settings {
inline constexpr char kApp[] = "appSetting";              // "b_mode"
inline constexpr char kThresholds[] = "thresholdSetting";  // mode 3's alarm rules
}  // namespace settings

}  // namespace contract
