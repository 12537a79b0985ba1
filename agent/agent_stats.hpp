// The agent's own counters, read by whatever shows them (the status page,
// the metrics): written by their owners, read as one snapshot.
#pragma once

#include "agent/refusals.hpp"

#include <array>
#include <atomic>
#include <cstdint>

namespace agent {

struct AgentStatsSnapshot {
    bool broker_connected = false;        // qm_agent_broker_connected
    int64_t outbox_records = 0;           // qm_agent_outbox_rows{stream="record"}
    int64_t outbox_events = 0;            // qm_agent_outbox_rows{stream="event"}
    int64_t published_total = 0;          // qm_agent_published_total
    int64_t replayed_total = 0;           // qm_agent_replayed_total
    int64_t dropped_records_total = 0;    // qm_agent_dropped_rows_total
    std::array<int64_t, kRefusalKinds> refused_messages{};  // qm_agent_refused_messages_total{reason}
};

struct AgentStats {
    std::atomic<bool> broker_connected{false};
    std::atomic<int64_t> outbox_records{0};
    std::atomic<int64_t> outbox_events{0};
    std::atomic<int64_t> published_total{0};
    std::atomic<int64_t> replayed_total{0};
    std::atomic<int64_t> dropped_records_total{0};
    RefusalCounts refused;

    AgentStatsSnapshot snapshot() const
    {
        return {broker_connected.load(), outbox_records.load(), outbox_events.load(),
                published_total.load(),  replayed_total.load(), dropped_records_total.load(), refused.snapshot()};
    }
};

}  // namespace agent
