#include "agent/site_state.hpp"

#include <algorithm>

namespace agent {

namespace {
constexpr int kCurrentForCycles = 3;
}  // namespace

SiteState::SiteState(std::vector<UnitSnapshot> units) : units_(std::move(units)) {}

void SiteState::completed(std::size_t unit, const std::vector<unsigned char>& record, int64_t now_ms,
                          std::string local_time, int64_t cycle_us)
{
    std::lock_guard<std::mutex> hold(lock_);
    UnitSnapshot& u = units_.at(unit);
    u.record = record;
    u.record_ms = now_ms;
    u.local_time = std::move(local_time);
    u.lost = false;
    u.lost_since_ms = 0;
    u.failed_in_row = 0;
    u.last_error.clear();
    ++u.cycles;
    u.last_cycle_us = cycle_us;
}

void SiteState::failed(std::size_t unit, bool lost, long failed_in_row, const std::string& error, int64_t now_ms,
                       int64_t cycle_us)
{
    std::lock_guard<std::mutex> hold(lock_);
    UnitSnapshot& u = units_.at(unit);
    if (failed_in_row == 1) u.lost_since_ms = now_ms;
    u.lost = lost;
    u.failed_in_row = failed_in_row;
    u.last_error = error;
    ++u.cycles;
    ++u.failures;
    u.last_cycle_us = cycle_us;
}

void SiteState::resumed_lost(std::size_t unit, long failed_in_row, int64_t since_ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    UnitSnapshot& u = units_.at(unit);
    u.lost = true;
    u.failed_in_row = failed_in_row;
    u.lost_since_ms = since_ms;
}

void SiteState::round_done(std::size_t line, double seconds)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (UnitSnapshot& u : units_)
        if (u.line == line) u.round_s = seconds;
}

void SiteState::relay(std::vector<UnitSnapshot> units, const std::vector<bool>& kept)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = 0; i < units.size() && i < kept.size() && i < units_.size(); ++i)
        if (kept[i]) units[i] = std::move(units_[i]);
    units_ = std::move(units);
}

std::vector<UnitSnapshot> SiteState::snapshot() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return units_;
}

std::optional<std::size_t> SiteState::find(const std::string& name) const
{
    // Names are fixed at start; no lock needed to read them.
    for (std::size_t i = 0; i < units_.size(); ++i)
        if (units_[i].name == name) return i;
    return std::nullopt;
}

bool is_current(const UnitSnapshot& unit, int64_t now_ms)
{
    if (unit.record.empty() || unit.lost) return false;
    const double cycle_s = std::max(unit.interval_s, unit.round_s);
    return static_cast<double>(now_ms - unit.record_ms) <= kCurrentForCycles * cycle_s * 1000.0;
}

}  // namespace agent
