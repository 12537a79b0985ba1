#include "agent/shared_store.hpp"

#include "agent/events.hpp"
#include "agent/time_text.hpp"

#include <algorithm>
#include <chrono>
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
    : stats_(stats), tell_events_(std::move(tell_events)), interval_ms_(settings.commit_interval_ms),
      store_(settings.path, settings)
{
    if (interval_ms_ > 0) committer_ = std::thread([this] { run_committer(); });
}

SharedStore::~SharedStore()
{
    {
        std::lock_guard<std::mutex> hold(waiting_lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (committer_.joinable()) committer_.join();
    flush();
}

void SharedStore::on_commit(std::function<void()> committed)
{
    std::lock_guard<std::mutex> hold(lock_);
    committed_ = std::move(committed);
}

void SharedStore::run_committer()
{
    std::unique_lock<std::mutex> hold(waiting_lock_);
    while (!stopping_) {
        // An interval from the last commit, or sooner when lines wait for room.
        const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms_);
        changed_.wait_until(hold, due, [this] { return stopping_ || waiting_records_ >= kMostWaitingRecords; });
        if (stopping_) break;
        hold.unlock();
        flush();
        hold.lock();
    }
}

ResumeState SharedStore::resume_state()
{
    std::lock_guard<std::mutex> hold(lock_);
    return store_.resume_state();
}

void SharedStore::write(const Cycle& cycle)
{
    {
        std::unique_lock<std::mutex> hold(waiting_lock_);
        // The committer has fallen behind (a slow disk): wait for it to take what waits.
        if (waiting_records_ >= kMostWaitingRecords && committer_.joinable()) {
            changed_.notify_all();
            changed_.wait(hold, [this] { return stopping_ || waiting_records_ < kMostWaitingRecords; });
        }
        // Both clocks read together at each hand-in: a step between two is
        // told once, with the cycle that follows it.
        const int64_t utc_ms = utc_now_ms();
        const int64_t steady_ms = steady_now_ms();
        waiting_.push_back(cycle);
        if (const std::optional<int64_t> step = clock_.sample(utc_ms, steady_ms))
            waiting_.back().events.insert(waiting_.back().events.begin(),
                                          {"", utc_ms, event_kind::kClockStep,
                                           clock_step_detail(*step, iso8601_utc_ms(utc_ms - *step))});
        waiting_records_ += cycle.records.size();
    }
    // A control is committed before it is answered: whoever asked finds it
    // in the store at once (controls are rare; the sync is theirs).
    const bool control = std::any_of(cycle.events.begin(), cycle.events.end(),
                                     [](const NewEvent& e) { return e.kind == event_kind::kControl; });
    if (interval_ms_ == 0 || control) flush();
}

CommitResult SharedStore::flush()
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Cycle> taken;
    {
        std::lock_guard<std::mutex> hold_waiting(waiting_lock_);
        taken.swap(waiting_);
        waiting_records_ = 0;
    }
    changed_.notify_all();
    if (taken.empty()) return CommitResult{true, "", 0};
    CommitResult result = store_.commit_cycles(taken);
    stats_.dropped_records_total += result.dropped_records;
    if (tell_events_)
        for (const Cycle& cycle : taken)
            for (const NewEvent& event : cycle.events) tell_events_(event_line(event));
    if (committed_) committed_();
    return result;
}

void SharedStore::mark_acked(Stream stream, const std::vector<int64_t>& seqs, int64_t now_ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    store_.mark_acked(stream, seqs, now_ms);
}

std::optional<int64_t> SharedStore::notified_mark()
{
    std::lock_guard<std::mutex> hold(lock_);
    return store_.notified_mark();
}

bool SharedStore::set_notified_mark(std::optional<int64_t> seq)
{
    std::lock_guard<std::mutex> hold(lock_);
    return store_.set_notified_mark(seq);
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
