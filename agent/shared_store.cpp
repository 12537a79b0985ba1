#include "agent/shared_store.hpp"

#include "agent/events.hpp"
#include "agent/time_text.hpp"

#include <utility>

namespace agent {
namespace {

// An event as the journal shows it: its time, its unit, its kind, its detail.
std::string event_line(const NewEvent& event)
{
    return iso8601_utc_ms(event.ts_ms) + " " + (event.unit.empty() ? "" : event.unit + " ") + event.kind + " " +
           compact_json(event.detail);
}

}  // namespace

SharedStore::SharedStore(const StoreSettings& settings, AgentStats& stats, EventLog tell_events)
    : stats_(stats), tell_events_(std::move(tell_events)), store_(settings.path, settings)
{
}

ResumeState SharedStore::resume_state()
{
    std::lock_guard<std::mutex> hold(lock_);
    return store_.resume_state();
}

CommitResult SharedStore::write(const Cycle& cycle)
{
    std::lock_guard<std::mutex> hold(lock_);
    // Both clocks read together at each write: a step between two writes is
    // told once, with the cycle that follows it.
    const int64_t utc_ms = utc_now_ms();
    const int64_t steady_ms = steady_now_ms();
    const std::optional<int64_t> step = clock_.sample(utc_ms, steady_ms);
    Cycle with_step;
    if (step) {
        with_step = cycle;
        with_step.events.insert(with_step.events.begin(),
                                {"", utc_ms, event_kind::kClockStep, clock_step_detail(*step, iso8601_utc_ms(utc_ms - *step))});
    }
    const Cycle& written = step ? with_step : cycle;
    CommitResult result = store_.commit_cycle(written);
    stats_.dropped_records_total += result.dropped_records;
    if (tell_events_)
        for (const NewEvent& event : written.events) tell_events_(event_line(event));
    return result;
}

void SharedStore::mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    store_.mark_acked(stream, seqs, now_ms);
}

void SharedStore::mark_sent(Stream stream, int64_t seq)
{
    std::lock_guard<std::mutex> hold(lock_);
    store_.mark_sent(stream, seq);
}

void SharedStore::mark_confirmed_up_to(Stream stream, int64_t seq)
{
    std::lock_guard<std::mutex> hold(lock_);
    store_.mark_confirmed_up_to(stream, seq);
}

bool SharedStore::move_past_centre(int64_t record_mark, int64_t event_mark, int64_t record_sent, int64_t event_sent)
{
    std::lock_guard<std::mutex> hold(lock_);
    const std::optional<NewEvent> event =
        store_.move_past_centre(record_mark, event_mark, utc_now_ms(), record_sent, event_sent);
    if (!event) return false;
    if (tell_events_) tell_events_(event_line(*event));
    return true;
}

}  // namespace agent
