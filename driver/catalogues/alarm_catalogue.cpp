#include "driver/catalogues/alarm_catalogue.hpp"

namespace {

std::vector<AlarmReportNames> build_report_names(int mode)
{
    std::vector<AlarmReportNames> names;
    names.reserve(kAlarmCatalogue.size());
    for (const AlarmPoint& point : kAlarmCatalogue) {
        const char* code = mode == 2 ? point.mode2_code : point.mode1_code;
        const char* code_name = mode == 2 ? point.mode2_code_name : point.mode1_code_name;
        names.push_back({code, code_name ? code_name : point.alarm_name, point.alarm_name});
    }
    return names;
}

}  // namespace

const std::vector<AlarmReportNames>& alarm_report_names(int mode)
{
    static const std::vector<AlarmReportNames> mode1 = build_report_names(1);
    static const std::vector<AlarmReportNames> mode2 = build_report_names(2);
    return mode == 2 ? mode2 : mode1;
}
