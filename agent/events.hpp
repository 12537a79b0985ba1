// What the store's event table holds: the kinds, one line each on what
// happened and the members of its detail (a JSON object), and the builders
// that give every writer the same shape.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
// SIGHUP: the site file read again and taken: site_hash (the new file's), restarted (the lines
// restarted, by index; the others kept polling).
constexpr const char* kSiteReloaded = "site_reloaded";
// SIGHUP: the site file read again and refused; the agent goes on as it was: site_hash (the running
// file's), reason (the refusal, as logged).
constexpr const char* kReloadRefused = "reload_refused";
// Records removed before anyone confirmed them: count, reason (max_mb, store_error, merged),
// first_seq and last_seq (the span), ranges (every dropped seq, as [first, last] pairs, ascending),
// acked and acked_ranges (those of them the broker had acknowledged: perhaps at the centre), sent and
// sent_ranges (handed to the broker, not acknowledged: in flight, perhaps at the centre), merged (how
// many earlier records_dropped events this one takes the place of). One event per removal; a store_error
// drop has no seqs (its records were never stored).
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
// The wall clock stepped against the steady one between two writes: step_ms (signed, forward above 0),
// expected (the time the steady clock gave, ISO 8601 UTC).
constexpr const char* kClockStep = "clock_step";
// The notification command gave up on an event: event_seq and event_kind (the event it was for), attempts,
// reason (the last attempt's: its exit status, signal or timeout, and the first of its output). Never
// itself told through the command.
constexpr const char* kNotifyFailed = "notify_failed";
}  // namespace event_kind

// Reasons in a records_dropped event.
namespace drop_reason {
constexpr const char* kMaxMb = "max_mb";          // the size bound made room for newer rows
constexpr const char* kKeepDays = "keep_days";    // older than the age bound and never confirmed (older stores only)
constexpr const char* kStoreError = "store_error";// cycles that could not be written at all
constexpr const char* kMerged = "merged";         // earlier drops of more than one reason, merged into one event
}  // namespace drop_reason

// Seq ranges [first, last], ascending, apart from each other.
using SeqRanges = std::vector<std::pair<int64_t, int64_t>>;

// What a records_dropped event tells.
struct DropAccount {
    int64_t count = 0;
    std::string reason;
    SeqRanges ranges;        // every dropped seq
    int64_t acked = 0;
    SeqRanges acked_ranges;  // those acknowledged by the broker
    int64_t sent = 0;
    SeqRanges sent_ranges;   // those handed to the broker, not acknowledged (in flight)
    int64_t merged = 0;
};

// The ranges of `seqs` (in any order, no repeats).
SeqRanges ranges_of(std::vector<int64_t> seqs);
// Both sets in one, touching ranges joined.
SeqRanges merge_ranges(const SeqRanges& a, const SeqRanges& b);
// At most `most` ranges: the ranges with the smallest gaps between them joined. What a gap holds was
// removed too (the size bound goes oldest first), so a joined range claims no row the store still has.
SeqRanges bound_ranges(SeqRanges ranges, std::size_t most);
// A stored records_dropped detail read back; nothing when it is not one.
std::optional<DropAccount> read_drop_account(const Json::Value& detail);

Json::Value alarm_detail(int position, const std::string& code_mode_1, const std::string& code_mode_2,
                         const std::string& name, int level);
Json::Value unit_lost_detail(int64_t failed_cycles, const std::string& error);
Json::Value unit_back_detail(int64_t failed_cycles);
Json::Value control_detail(int code, const std::string& input_hex, int result, const std::string& source);
Json::Value agent_detail(const std::string& version, const std::string& site_hash);
Json::Value site_reloaded_detail(const std::string& site_hash, const std::vector<std::size_t>& restarted);
Json::Value reload_refused_detail(const std::string& site_hash, const std::string& reason);
Json::Value records_dropped_detail(int64_t count, const std::string& reason, int64_t first_seq, int64_t last_seq);
Json::Value records_dropped_detail(const DropAccount& drops);
Json::Value clock_step_detail(int64_t step_ms, const std::string& expected);
Json::Value store_recovered_detail(int64_t records_kept, int64_t events_kept, const SeqRanges& records_lost,
                                   const SeqRanges& events_lost, const std::string& damaged_file, bool store_id_kept);
Json::Value notify_failed_detail(int64_t event_seq, const std::string& event_kind, int attempts,
                                 const std::string& reason);
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
