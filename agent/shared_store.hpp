// The store, shared by every line's thread and the publisher's marks: one
// connection behind one lock.
//
// Group commit: a line hands its cycle in and goes on; a committer thread
// writes every cycle handed in since its last commit in one transaction, at
// most once per commit_interval_ms (one WAL sync for the whole site, however
// many lines); a cycle with a control's event is committed at once, before
// the control is answered. What a power cut can lose is the cycles of the last interval;
// a stop (flush, or the destructor) commits what waits first and loses
// nothing. Readers (the HTTP API, the publisher's outbox reader) see rows
// once committed; the publisher is woken after each commit. A line never
// waits for a sync, only (when the committer has fallen behind by
// kMostWaitingRecords) for the committer to take what waits.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/publisher.hpp"
#include "agent/store.hpp"
#include "agent/time_text.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agent {

class SharedStore : public OutboxMarks {
public:
    // Where each event written is told, one line each in the store's order;
    // empty: not told.
    using EventLog = std::function<void(const std::string& line)>;

    // Opens settings.path; throws StoreError as Store does. The records a
    // commit drops are counted in `stats`.
    SharedStore(const StoreSettings& settings, AgentStats& stats, EventLog tell_events = {});
    // Commits what waits, then stops the committer.
    ~SharedStore();
    SharedStore(const SharedStore&) = delete;
    SharedStore& operator=(const SharedStore&) = delete;

    // Records handed in and not yet committed beyond this make a line wait.
    static constexpr std::size_t kMostWaitingRecords = 65536;

    const std::string& store_id() const { return store_.store_id(); }
    const std::string& path() const { return store_.path(); }
    ResumeState resume_state();

    // Hands the cycle in: committed with the others within commit_interval_ms
    // (at once when it is 0). A store that cannot be written (a full disk)
    // says so once itself, and polling goes on; each event is told either way.
    void write(const Cycle& cycle);
    // Commits every cycle handed in so far, now.
    CommitResult flush();
    // Called (on the committer's thread) after each commit that wrote cycles.
    void on_commit(std::function<void()> committed);

    // The notification command's mark (Store::notified_mark).
    std::optional<int64_t> notified_mark();
    bool set_notified_mark(std::optional<int64_t> seq);

    void mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms) override;
    void mark_confirmed_up_to(Stream stream, int64_t seq) override;
    bool move_past_centre(int64_t record_mark, int64_t event_mark, int64_t record_sent, int64_t event_sent) override;
    void mark_sent(Stream stream, int64_t seq) override;

private:
    void run_committer();

    AgentStats& stats_;
    EventLog tell_events_;
    const int64_t interval_ms_;
    std::mutex lock_;  // the store; held across taking what waits and committing it, so commits keep their order
    Store store_;
    std::function<void()> committed_;

    std::mutex waiting_lock_;  // what waits, and the committer's state
    std::condition_variable changed_;
    std::vector<Cycle> waiting_;
    std::size_t waiting_records_ = 0;
    bool stopping_ = false;
    ClockWatch clock_;
    std::thread committer_;  // last: started once all else is ready
};

}  // namespace agent
