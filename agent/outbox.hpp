// The outbox's rules: which of the store's unconfirmed rows go to the broker
// next, and what the broker's acknowledgements and the centre's
// confirmations mean for them. It reads the store and writes its marks, but
// knows nothing of the broker: its owner hands it a link to send on, the
// acknowledgements by message id, the confirmations and the time.
//
//   - at most `inflight` rows are handed to the link and not yet acknowledged;
//   - an acknowledgement sets the row's acked time; the centre's confirm sets
//     it confirmed, and only then may retention treat it as delivered;
//   - at every (re)connect the rows not yet confirmed become a backlog, sent
//     in seq order at `backlog_per_s` beside the live rows, which go first;
//   - rows acknowledged but not confirmed within `replay_after_s` go again,
//     with replay: true; a message never acknowledged gives its place in the
//     window back after the same time.
//
// Not thread-safe: one thread (the publisher's pump) owns an Outbox.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/mqtt_messages.hpp"
#include "agent/outbox_reader.hpp"
#include "agent/store.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace agent {

// The store writes the outbox makes, serialized by the store's owner with
// every other write.
class OutboxMarks {
public:
    virtual ~OutboxMarks() = default;
    virtual void mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms) = 0;
    virtual void mark_confirmed_up_to(Stream stream, int64_t seq) = 0;
    // The centre's marks beyond the rows sent (record_sent, event_sent):
    // Store::move_past_centre's rule (true when the store moved past them).
    virtual bool move_past_centre(int64_t record_mark, int64_t event_mark, int64_t record_sent,
                                  int64_t event_sent) = 0;
    // Every row up to `seq` was handed to the broker (a row dropped unacknowledged
    // at or below it may be in flight): kept in memory only.
    virtual void mark_sent(Stream /*stream*/, int64_t /*seq*/) {}
};

struct OutboxRules {
    int inflight = 16;
    int backlog_per_s = 200;
    double replay_after_s = 120;
    // After the first connect nothing goes until the centre's mark for the
    // store arrived (retained, it follows the subscription) or this long:
    // a store behind the centre moves past the mark before a seq goes out.
    int64_t mark_wait_ms = 0;
};

// The two clocks the rules read, passed in so they run without waiting.
struct OutboxTime {
    int64_t steady_ms = 0;  // the window, the backlog's rate, the repair checks
    // The acked time kept in the store, which outlives the process: UTC as at
    // the publisher's start, carried on by the steady clock (a step of the
    // wall clock does not move it).
    int64_t utc_ms = 0;
};

// How a row goes out.
struct Sending {
    bool replay = false;           // sent before, or overdue for a confirmation
    bool live = false;             // new since the (re)connect: its unit's status goes with it
    int64_t unconfirmed_from = 1;  // the stream's first row the centre has not confirmed
};

// The broker as the outbox sees it.
class OutboxLink {
public:
    virtual ~OutboxLink() = default;
    // Hands the row to the broker: its message id, or nothing when the link
    // did not take it (the row stays due).
    virtual std::optional<int> send(const StoredRecord& record, const Sending& how) = 0;
    virtual std::optional<int> send(const StoredEvent& event, const Sending& how) = 0;
};

class Outbox {
public:
    Outbox(OutboxRules rules, std::string store_id, OutboxReader& rows, OutboxMarks& marks, AgentStats& stats);

    // The broker's acknowledgement of message `mid` (accepted: a reason
    // below 0x80); one for a message not in the window changes nothing.
    void acknowledged(int mid, bool accepted);
    // The centre's confirmation; one for another store, or one below what
    // is already confirmed, changes nothing. A stream's mark beyond the rows
    // this store has handed to the broker is no confirmation, and marks
    // nothing confirmed: when it is also beyond what the store had issued
    // when opened, the centre holds seqs the store lost (a copy without its
    // WAL), and the store moves past them (OutboxMarks::move_past_centre);
    // otherwise (the centre cannot hold what was never sent) it is ignored
    // and counted, and false returned.
    bool confirmed(const mqtt::Confirm& confirm);
    // Writes the acknowledgements and confirmations noted since the last call.
    void write_marks(int64_t utc_ms);

    // A (re)connect: everything not confirmed goes again, behind the live rows.
    void restart(const OutboxTime& now);
    // One round while connected: live rows, the backlog at its rate, repairs.
    void send(OutboxLink& link, const OutboxTime& now);

private:
    // Unconfirmed rows being sent again, in seq order, at a bounded rate.
    struct Backlog {
        int64_t next = 1;
        int64_t end = 0;
        int64_t acked_before = INT64_MAX;  // a repair: only rows acknowledged before this
        bool active() const { return next <= end; }
        bool repair() const { return acked_before != INT64_MAX; }
    };
    // A row handed to the link and not yet acknowledged.
    struct Flight {
        Stream stream = Stream::Records;
        int64_t seq = 0;
        int64_t sent_ms = 0;  // steady
    };

    int free_window() const;
    int64_t published(Stream stream);
    void read_unconfirmed_from();
    void expire_flights(const OutboxTime& now);
    void send_live(OutboxLink& link, const OutboxTime& now);
    void send_backlog(OutboxLink& link, const OutboxTime& now);
    void check_repairs(const OutboxTime& now);
    bool take(std::optional<int> mid, Stream stream, int64_t seq, const OutboxTime& now);
    // The rows of `range` in seq order, each as its seq, whether it was
    // acknowledged, and how to send it.
    template <typename Visit>
    void each_row(OutboxLink& link, Stream stream, const OutboxRange& range, Visit visit);

    OutboxRules rules_;
    std::string store_id_;
    OutboxReader& rows_;
    OutboxMarks& marks_;
    AgentStats& stats_;

    std::map<int, Flight> flights_;                 // by message id
    std::array<std::set<int64_t>, 2> in_flight_;    // the flights' seqs, per stream
    std::array<std::vector<int64_t>, 2> acked_;     // not yet written
    std::array<int64_t, 2> confirmed_ = {0, 0};
    std::array<int64_t, 2> confirmed_written_ = {0, 0};
    std::array<int64_t, 2> sent_written_ = {0, 0};
    std::array<int64_t, 2> live_next_ = {1, 1};
    std::array<int64_t, 2> unconfirmed_from_ = {1, 1};
    // The highest seq known handed to the broker: at first what the store
    // shows (acknowledged, or confirmed and gone), then every row sent.
    std::array<std::optional<int64_t>, 2> published_;
    std::array<Backlog, 2> backlog_;
    double tokens_ = 0;
    int64_t last_refill_ms_ = 0;
    std::optional<int64_t> next_repair_check_ms_;  // none: at the next round
    bool mark_heard_ = false;                      // the centre's mark for the store, or the wait over
    std::optional<int64_t> mark_wait_from_;        // steady: the first round connected
    bool restart_due_ = false;                     // the store moved its rows: read them again
};

}  // namespace agent
