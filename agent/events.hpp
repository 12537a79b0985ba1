// What the store's event table holds: the kinds, one line each on what
// happened and the members of its detail (a JSON object), and the builders
// that give every writer the same shape.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

namespace agent {

namespace event_kind {
// An alarm point went active: position (0-based in the catalogue), codes [b_mode 1, b_mode 2], name, level.
constexpr const char* kAlarmRaised = "alarm_raised";
// An alarm point went inactive: the same members as when it was raised.
constexpr const char* kAlarmCleared = "alarm_cleared";
// A unit stopped answering: failed (cycles in a row that failed), error (the last failure's reason).
constexpr const char* kUnitLost = "unit_lost";
// A lost unit answered again: failed (cycles that failed while it was lost).
constexpr const char* kUnitBack = "unit_back";
// A control command and its outcome: code, input (hex), result (the driver's), source (who asked).
constexpr const char* kControl = "control";
// The agent started: version, site_hash (SHA-256 of the site file, hex).
constexpr const char* kAgentStarted = "agent_started";
// The agent stopped cleanly: version, site_hash.
constexpr const char* kAgentStopped = "agent_stopped";
// Records removed before anyone confirmed them: count, reason (max_mb, keep_days, store_error), first_seq, last_seq.
constexpr const char* kRecordsDropped = "records_dropped";
// The store could not be written (full disk, I/O error), told when it works again: error, since, failed_cycles.
constexpr const char* kStoreError = "store_error";
// A damaged store was recovered by qmhost store recover: records_kept, events_kept, records_lost and
// events_lost (seq ranges [first, last] that could not be read), damaged_file (where the damaged file was put).
constexpr const char* kStoreRecovered = "store_recovered";
// The centre holds seqs of this store beyond the ones it had issued when it was opened (a copy without its WAL, a
// restored backup): its sequences were moved past the centre's marks, so no seq goes out twice. last_record_seq and
// last_event_seq (the store's last seqs when opened), centre_record_seq and centre_event_seq (the centre's marks),
// records_renumbered and events_renumbered (rows written since the start, moved to seqs past the marks).
constexpr const char* kStoreBehindCentre = "store_behind_centre";
}  // namespace event_kind

// Reasons in a records_dropped event.
namespace drop_reason {
constexpr const char* kMaxMb = "max_mb";          // the size bound made room for newer rows
constexpr const char* kKeepDays = "keep_days";    // older than the age bound and never confirmed
constexpr const char* kStoreError = "store_error";// cycles that could not be written at all
}  // namespace drop_reason

Json::Value alarm_detail(int position, const std::string& code_mode_1, const std::string& code_mode_2,
                         const std::string& name, int level);
Json::Value unit_lost_detail(int64_t failed_cycles, const std::string& error);
Json::Value unit_back_detail(int64_t failed_cycles);
Json::Value control_detail(int code, const std::string& input_hex, int result, const std::string& source);
Json::Value agent_detail(const std::string& version, const std::string& site_hash);
Json::Value records_dropped_detail(int64_t count, const std::string& reason, int64_t first_seq, int64_t last_seq);
Json::Value store_error_detail(const std::string& error, const std::string& since, int64_t failed_cycles);
// Per stream (records, events): the store's last seq when opened, the centre's mark, the rows moved past it.
struct BehindCentre {
    int64_t last_seq = 0;
    int64_t centre_seq = 0;
    int64_t renumbered = 0;
};
Json::Value store_behind_centre_detail(const BehindCentre& records, const BehindCentre& events);

// A detail as the store writes it: one line, UTF-8 as it is (names stay readable).
std::string compact_json(const Json::Value& value);

}  // namespace agent
