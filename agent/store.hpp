// The site agent's durable store: one SQLite file holding every published
// record and every event, written one transaction per polling cycle, read
// by StoreReader (store_reader.hpp) while it is written.
//
// Durability: WAL mode with synchronous=FULL. Under NORMAL a WAL commit is
// not synced and may roll back after a power loss; FULL syncs the WAL on
// every commit, so a cycle that commit_cycle reported written survives a
// power cut. A crash loses at most the cycle in flight, never half of one.
//
// Sequence numbers: record.seq and event.seq are AUTOINCREMENT keys, so a
// seq never goes back and is never handed out twice, even after the rows
// with the highest seqs were removed.
//
// Not thread-safe: one thread (the agent's writer) owns a Store.
#pragma once

#include "agent/events.hpp"
#include "agent/sqlite.hpp"

#include <json/json.h>

#include <cstdint>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace agent {

// Anything that stops a store from being opened or used at all.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A new store's id: a random UUID (version 4), as text.
std::string new_store_id();

// One record as a driver published it.
struct NewRecord {
    std::string unit;                  // the unit's name in the site
    int slave = 0;                     // its Modbus slave id
    int64_t device_id = 0;             // the device id the driver was given
    int64_t ts_ms = 0;                 // when the host received it: ms since 1970, UTC
    std::string local_time;            // the record's own time stamp (the unit's local time), as text
    bool clock_ok = false;             // the host's clock was synchronised when ts_ms was taken
    int rtype = 0;                     // the record type the driver gave (5156 for the full record)
    std::vector<unsigned char> body;   // the bytes as the driver handed them (459 for 5156)
};

struct NewEvent {
    std::string unit;   // empty: the agent's own event (stored as NULL)
    int64_t ts_ms = 0;  // ms since 1970, UTC
    std::string kind;   // one of event_kind
    Json::Value detail = Json::Value(Json::objectValue);
};

// Everything one polling cycle produced: written whole or not at all.
struct Cycle {
    int64_t time_ms = 0;  // the cycle's time (UTC ms): the clock for retention and the store's own events
    std::vector<NewRecord> records;
    std::vector<NewEvent> events;
};

struct CommitResult {
    bool committed = false;
    std::string error;             // SQLite's reason, when not committed
    int64_t dropped_records = 0;   // unconfirmed records this commit removed (each told in an event)
};

// The store's settings: the site file's "store" member, with what else of the
// site file the store follows.
struct StoreSettings {
    std::string path;     // the database file as the site file names it: absolute, or made so from its folder
    std::string site;     // must match the store's own site name once it has one
    int keep_days = 30;   // records older than this go (1 or more)
    int max_mb = 256;     // the database file stays under this many MiB (1 or more)
    // Records are sent on (an outbox) and confirmed; when false, a record that
    // reaches keep_days has served its time and its removal is no loss.
    bool forwarding = false;
    // Where the store's own warnings go (one line each); default standard error.
    std::function<void(const std::string&)> warn;
    // Cycles handed in are committed together at most this often (ms); 0:
    // each at once, one sync per cycle.
    int commit_interval_ms = 1000;
    // Tests: SQLite's max_page_count, so a "full disk" comes at a chosen size. 0: none.
    int64_t page_limit = 0;
};

// Events are kept a year, or keep_days when that is longer: they are few and
// they are the site's log (controls, who asked, alarms).
constexpr int kEventKeepDaysAtLeast = 366;

// What a restarting agent needs to resume: per unit the alarm positions
// active at the last stop, and the last sequence numbers.
struct UnitResume {
    std::vector<int> active_alarms;  // positions, ascending
    // Its last health event was unit_lost: it stays lost until it answers,
    // which is then told as unit_back. lost_failed and lost_ms: that
    // event's count and time.
    bool lost = false;
    int64_t lost_failed = 0;
    int64_t lost_ms = 0;
    int64_t last_record_seq = 0;     // 0: no record of the unit is left
    int64_t last_record_ms = 0;
};
struct ResumeState {
    std::map<std::string, UnitResume> units;
    int64_t last_record_seq = 0;  // the highest ever handed out, kept even when the row is gone
    int64_t last_event_seq = 0;
};

// The two streams an outbox sends and the centre confirms.
enum class Stream { Records, Events };

class Store {
public:
    // Opens the file, creating it (with its folder's permission) when it is
    // not there. Throws StoreError when it cannot be opened or set up, is not
    // a store, has another schema version or belongs to another site.
    Store(const std::string& path, StoreSettings settings);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Writes the cycle in one transaction, applying retention in the same
    // one. On failure (full disk, I/O error) the transaction is rolled back
    // and nothing of the cycle is written; the first failure in a row is told
    // on `warn`, and the next commit that works adds a store_error and a
    // records_dropped event for the cycles lost meanwhile.
    CommitResult commit_cycle(const Cycle& cycle);
    // Several cycles in one transaction (one sync): all of them or none.
    CommitResult commit_cycles(const std::vector<Cycle>& cycles);

    ResumeState resume_state();

    // The outbox: a row acknowledged by the broker at now_ms; rows up to and
    // including seq confirmed by the centre; the first row not confirmed.
    // The writes return false (and warn) when the store cannot be written.
    bool mark_acked(Stream stream, int64_t seq, int64_t now_ms);
    // Many rows in one transaction: a publisher's acknowledgements come in bursts.
    bool mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms);
    bool mark_confirmed_up_to(Stream stream, int64_t seq);
    // Records up to seq were handed to the broker: one dropped unacknowledged
    // is told as sent (in flight, or lost with a broker), not as never sent.
    void mark_sent(Stream stream, int64_t seq)
    {
        if (stream == Stream::Records) records_sent_up_to_ = std::max(records_sent_up_to_, seq);
    }
    std::optional<int64_t> first_unconfirmed(Stream stream);

    // The centre's marks for this store (records, events). Where one is
    // beyond the seqs the store had issued when it was opened, the centre
    // holds rows the store no longer knows of (a copy without its WAL):
    // that stream's sequence moves past the mark, and the rows written
    // since the open and not yet sent (above `sent`, the stream's highest
    // seq handed to the broker) move with it, order kept, unacknowledged;
    // one store_behind_centre event is written, all in one transaction, and
    // returned. Nothing when neither mark is such (or the store cannot be
    // written): nothing changes.
    std::optional<NewEvent> move_past_centre(int64_t record_mark, int64_t event_mark, int64_t now_ms,
                                             int64_t record_sent = 0, int64_t event_sent = 0);

    // The notification command's mark: the last event it has dealt with
    // (told, given up on or not its kind). None: no command has run on this
    // store, or the site dropped its "notify". Writing none removes it.
    std::optional<int64_t> notified_mark();
    bool set_notified_mark(std::optional<int64_t> seq);

    const std::string& store_id() const { return store_id_; }
    const std::string& path() const { return db_.path(); }
    // The database file's size as SQLite counts it (the WAL beside it apart).
    int64_t file_bytes();
    // Bytes in use: the file less its free pages.
    int64_t used_bytes();

private:
    struct Statements;
    struct Removed;

    // The keyframe a unit's next rows are packed against.
    struct Keyframe {
        int64_t id = 0;  // 0: none yet in this run
        std::vector<unsigned char> body;
        int rows = 0;                // rows packed against it
        std::size_t last_frame = 0;  // the last one's frame size
    };

    void set_up();
    void write_cycle(const Cycle& cycle, CommitResult& result);
    void insert_packed(const NewRecord& record, sqlite::Statement& insert);
    void remove_unused_keyframes();
    void make_room(int64_t needed_bytes, int64_t time_ms, CommitResult& result);
    void remove_old(int64_t time_ms);
    void record_drops(const Removed& removed, const std::string& reason, int64_t time_ms, CommitResult& result);
    void insert_drop_event(const DropAccount& drops, int64_t time_ms);
    void merge_drop_events(int64_t time_ms);
    void insert_event(const NewEvent& event);
    void note_failure(const Cycle& cycle, const std::string& error);
    void warn(const std::string& line) const;
    int64_t issued(Stream stream);

    StoreSettings settings_;
    sqlite::Connection db_;
    std::string store_id_;
    int64_t page_size_ = 4096;
    std::unique_ptr<Statements> statements_;
    int64_t next_age_check_ms_ = 0;  // 0: at the first commit
    // Per stream (records, events) the last seq issued when the store was
    // opened, or when it last moved past the centre's marks.
    int64_t issued_at_open_[2] = {0, 0};
    int64_t records_sent_up_to_ = 0;
    std::optional<int64_t> drop_events_;
    std::map<std::string, Keyframe> keyframes_;
    std::vector<int64_t> keyframes_to_retire_;  // no longer in memory, last_seq still NULL
    std::set<std::string> units_;  // in the unit table  // the records_dropped events in the store; none: to be counted

    // While commits fail: since when, why, and what was lost.
    bool failing_ = false;
    int64_t failing_since_ms_ = 0;
    std::string failure_;
    int64_t failed_cycles_ = 0;
    int64_t lost_records_ = 0;
};

}  // namespace agent
