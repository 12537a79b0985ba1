// The latest state of each unit, as its line's poller last left it: a
// read-only snapshot for the HTTP server, beside the store (which keeps the
// history). Bounded: one record and a few counters per unit.
#pragma once

#include "agent/unit_values.hpp"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace agent {

struct UnitSnapshot {
    // From the site file.
    std::string name;
    std::size_t line = 0;
    int slave = 0;
    int64_t device_id = 0;
    double interval_s = 5.0;
    int alarm_mode = 1;  // the codes its alarm points are reported under (unit_values.hpp)
    ShownKeys keys = all_shown_keys();  // the values it publishes, by the site file's "keys"

    // From its poller.
    std::vector<unsigned char> record;  // the last record; empty: none yet
    int64_t record_ms = 0;              // when it arrived, UTC ms
    std::string local_time;             // the record's own time stamp
    bool lost = false;                  // taken as lost by its health
    int64_t lost_since_ms = 0;          // the first failure of the run that made it lost
    long failed_in_row = 0;
    std::string last_error;
    uint64_t cycles = 0;    // cycles attempted
    uint64_t failures = 0;  // of those, failed
    int64_t last_cycle_us = 0;
    double round_s = 0;  // the line's last round over all its units
};

class SiteState {
public:
    // One entry per unit of the site, in site order; a unit's index is its
    // place there, from 0.
    explicit SiteState(std::vector<UnitSnapshot> units);

    void completed(std::size_t unit, const std::vector<unsigned char>& record, int64_t now_ms, std::string local_time,
                   int64_t cycle_us);
    void failed(std::size_t unit, bool lost, long failed_in_row, const std::string& error, int64_t now_ms,
                int64_t cycle_us);
    // The line's round over all its units took this long: the time between
    // two records of one unit, when longer than its interval.
    void round_done(std::size_t line, double seconds);
    // Lost before the agent started (its last health event), since `since_ms`.
    void resumed_lost(std::size_t unit, long failed_in_row, int64_t since_ms);

    // A reloaded site's units: those marked kept are the same units at the
    // same places, polled on, and keep what their pollers left.
    void relay(std::vector<UnitSnapshot> units, const std::vector<bool>& kept);

    std::vector<UnitSnapshot> snapshot() const;
    std::optional<std::size_t> find(const std::string& name) const;
    std::size_t size() const { return units_.size(); }

private:
    mutable std::mutex lock_;
    std::vector<UnitSnapshot> units_;
};

// A unit's data is current while its last record is newer than three of
// its cycles (its interval, or its line's round when that is longer); older
// data is never shown as current.
bool is_current(const UnitSnapshot& unit, int64_t now_ms);

}  // namespace agent
