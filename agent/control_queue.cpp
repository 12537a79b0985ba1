#include "agent/control_queue.hpp"

#include <algorithm>

namespace agent {

namespace {

ControlAnswer answer_of(ControlAnswer::Kind kind, const char* message)
{
    ControlAnswer answer;
    answer.kind = kind;
    answer.message = message;
    return answer;
}
}  // namespace

ControlAnswer ControlQueue::submit(std::size_t unit, ControlRequest request, Clock::time_point deadline)
{
    std::unique_lock<std::mutex> hold(lock_);
    if (closed_) return answer_of(ControlAnswer::Kind::Stopping, "the agent is stopping");
    if (waiting_.size() >= kMaxWaiting)
        return answer_of(ControlAnswer::Kind::Busy, "the unit's line has controls waiting; try again");
    auto entry = std::make_shared<Waiting>();
    entry->unit = unit;
    entry->request = std::move(request);
    waiting_.push_back(entry);
    arrived_.notify_all();
    answered_.wait_until(hold, deadline, [&] { return entry->answered; });
    if (!entry->answered && !entry->started) {
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), entry), waiting_.end());
        return answer_of(ControlAnswer::Kind::TimedOut, "the unit's line did not get to the control in time");
    }
    answered_.wait(hold, [&] { return entry->answered; });
    return entry->answer;
}

bool ControlQueue::wait_until(Clock::time_point when, const std::function<bool()>& stopped)
{
    std::unique_lock<std::mutex> hold(lock_);
    arrived_.wait_until(hold, when, [&] { return !waiting_.empty() || stopped(); });
    return !waiting_.empty();
}

void ControlQueue::run_waiting(
    const std::function<ControlAnswer(std::size_t unit, const ControlRequest&)>& run)
{
    std::unique_lock<std::mutex> hold(lock_);
    while (!waiting_.empty() && !closed_) {
        const std::shared_ptr<Waiting> entry = waiting_.front();
        waiting_.pop_front();
        entry->started = true;
        hold.unlock();
        ControlAnswer answer = run(entry->unit, entry->request);
        hold.lock();
        entry->answer = std::move(answer);
        entry->answered = true;
        answered_.notify_all();
    }
}

void ControlQueue::wake()
{
    std::lock_guard<std::mutex> hold(lock_);
    arrived_.notify_all();
}

void ControlQueue::close()
{
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    for (const auto& entry : waiting_) {
        entry->answer = answer_of(ControlAnswer::Kind::Stopping, "the agent is stopping");
        entry->answered = true;
    }
    waiting_.clear();
    answered_.notify_all();
}

}  // namespace agent
