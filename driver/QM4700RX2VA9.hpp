// The precision air-conditioning unit's driver: polls the unit through the
// 45-read chain, reports its 180 alarm points, renders the status report and
// carries out control commands.
#pragma once

#include "core/uni_data_device.hpp"
#include "driver/polling_chain.hpp"
#include "driver/record.hpp"
#include "host/contract.hpp"
#include "host/framework.hpp"

#include <string>

inline constexpr const char* kQm4700DeviceType = "qm4700rx2va9";

class QM4700RX2VA9 : public UniDataDevice<QM4700RX2VA9_Data_t, SPModbus, contract::kRecordType> {
public:
    using Core = UniDataDevice<QM4700RX2VA9_Data_t, SPModbus, contract::kRecordType>;

    QM4700RX2VA9();
    ~QM4700RX2VA9() override;

    int InitSetting(const Json::Value& config) override;
    int RefreshStatus() override;
    int process_payload(tab_type table, unsigned int length) override;
    void RunCheckThreshold() override;
    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& returned_length) override;
    float Get_Value(unsigned int variable, const std::string& name) const override;

    int control_result() const { return control_result_; }
    int expected_value() const { return expected_value_; }
    unsigned long report_rebuilds() const { return report_rebuild_count_; }

private:
    void send_read(const PollRead& read);
    void store_answer(const PollRead& read);
    bool answer_confirms_write(int step) const;

    // Status report (command::kReportText, kReportHandle).
    int report_text(void* output, int output_capacity, int& returned_length);
    int report_handle(void* output, int output_capacity, int& returned_length);
    void refresh_report_if_new_cycle();
    void rebuild_report();

    using Command = contract::IoControlCall;

    // Control commands.
    int pass_on(const Command& c);
    void start_control(int step);
    void start_write(int step, int expected, bool open_port = true);
    int command_switch(const Command& c, int bit_value);
    int command_setpoint(const Command& c, int address);
    int command_write_register(const Command& c);
    int command_write_registers(const Command& c);
    int command_signal_setpoint(const Command& c);
    int command_signal_switch(const Command& c);
    int outcome_query(const Command& c);

    int control_result_;
    int expected_value_;
    unsigned long report_rebuild_count_ = 0;  // under the report lock
};
