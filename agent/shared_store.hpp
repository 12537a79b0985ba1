// The store, written by every line's thread in turn and by the publisher's
// marks: one connection behind one lock, held for a commit (one WAL sync, a
// few ms). A line may wait for other lines' commits, never for their Modbus
// requests or the broker.
#pragma once

#include "agent/agent_stats.hpp"
#include "agent/publisher.hpp"
#include "agent/store.hpp"
#include "agent/time_text.hpp"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
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

    const std::string& store_id() const { return store_.store_id(); }
    ResumeState resume_state();

    // A store that cannot be written (a full disk) says so once itself, and
    // polling goes on; each event is told either way.
    CommitResult write(const Cycle& cycle);

    void mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms) override;
    void mark_confirmed_up_to(Stream stream, int64_t seq) override;
    bool move_past_centre(int64_t record_mark, int64_t event_mark, int64_t record_sent, int64_t event_sent) override;
    void mark_sent(Stream stream, int64_t seq) override;

private:
    AgentStats& stats_;
    EventLog tell_events_;
    std::mutex lock_;
    Store store_;
    ClockWatch clock_;
};

}  // namespace agent
