// Alarm evaluation: after every completed cycle each of the 180 points is
// reported to the host's threshold machinery, active or not, numbered by its
// position. Raising and clearing is the host's work.
#include "driver/QM4700RX2VA9.hpp"
#include "driver/catalogues/alarm_catalogue.hpp"

namespace {
constexpr int kAlarmLevel = 2;

bool reports_alarms_in(int mode) { return mode == 1 || mode == 2; }
}  // namespace

void QM4700RX2VA9::RunCheckThreshold()
{
    if (!reports_alarms_in(mode_)) return;
    const std::vector<AlarmReportNames>& names = alarm_report_names(mode_);
    const unsigned char* bytes = record_bytes();
    for (std::size_t i = 0; i < kAlarmCatalogue.size(); ++i) {
        const bool active = bytes[kAlarmCatalogue[i].source] != 0;
        // The counter is advanced before the call: during it, it already
        // holds the next number.
        const unsigned short sequence = m_alarm_seq;
        m_alarm_seq = static_cast<unsigned short>(sequence + 1);
        ZKVVDevice::CheckThresholdBool(kAlarmLevel, names[i].code, names[i].code,
                                       names[i].code_name, names[i].alarm_name, active, sequence);
    }
}
