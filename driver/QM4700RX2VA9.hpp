// The precision air-conditioning unit's driver: polls the unit through the
// 45-read chain, reports its 180 alarm points, renders the status report and
// carries out control commands.
#pragma once

#include "core/uni_data_device.hpp"
#include "driver/polling_chain.hpp"
#include "driver/record.hpp"
#include "host/framework.hpp"

#include <string>

inline constexpr int kQm4700RecordType = 5156;
inline constexpr const char* kQm4700DeviceType = "qm4700rx2va9";

class QM4700RX2VA9 : public UniDataDevice<QM4700RX2VA9_Data_t, SPModbus, kQm4700RecordType> {
public:
    using Core = UniDataDevice<QM4700RX2VA9_Data_t, SPModbus, kQm4700RecordType>;

    // Control result values.
    static constexpr int kControlPending = -1;
    static constexpr int kControlConfirmed = 1;
    static constexpr int kControlNotConfirmed = 3;

    QM4700RX2VA9();
    ~QM4700RX2VA9() override;

    int InitSetting(const Json::Value& config) override;
    int RefreshStatus() override;
    int process_payload(tab_type table, unsigned int length) override;
    void RunCheckThreshold() override;
    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& returned_length) override;
    float Get_Value(unsigned int variable, const std::string& name) const override;

    int control_result_value() const { return control_result; }
    int expected_value_value() const { return expected_value; }
    unsigned long report_rebuilds() const { return report_rebuild_count; }

private:
    void send_read(const PollRead& read);
    void store_answer(const PollRead& read);
    bool answer_confirms_write(int step) const;

    // Status report (801, 803).
    int report_text(void* output, int output_capacity, int& returned_length);
    int report_handle(void* output, int output_capacity, int& returned_length);
    void refresh_report_if_new_cycle();
    void rebuild_report();

    // Control commands.
    void start_control(int step);
    int command_switch(int step, int bit_value, const void* input, int input_length, void* output,
                       int output_capacity, int& returned_length);
    int command_setpoint(int step, int address, const void* input, int input_length, void* output,
                         int output_capacity, int& returned_length);
    int command_write_register(const void* input, int input_length);
    int command_write_registers(const void* input, int input_length);
    int command_signal_setpoint(const void* input, int input_length, void* output,
                                int output_capacity, int& returned_length);
    int command_signal_switch(const void* input, int input_length, void* output,
                              int output_capacity, int& returned_length);
    int outcome_query(int code, const void* input, int input_length, void* output,
                      int output_capacity, int& returned_length);

    int control_result;
    int expected_value;
    unsigned long report_rebuild_count = 0;  // under the report lock
};
