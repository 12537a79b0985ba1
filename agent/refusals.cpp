#include "agent/refusals.hpp"

#include <vector>

namespace agent {

RefusalLog::RefusalLog(std::function<void(const std::string&)> say, Clock::duration every)
    : say_(std::move(say)), every_(every)
{
}

void RefusalLog::add(Refusal reason, const std::string& why, int64_t count)
{
    if (count <= 0) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        pending_[refusal_index(reason)] += count;
        latest_[refusal_index(reason)] = why;
        total_ += count;
    }
    tick();
}

void RefusalLog::tick() { say_due(Clock::now(), false); }
void RefusalLog::flush() { say_due(Clock::now(), true); }

int64_t RefusalLog::total() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return total_;
}

void RefusalLog::say_due(Clock::time_point now, bool all)
{
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (std::size_t i = 0; i < kRefusalKinds; ++i) {
            if (pending_[i] == 0 || (!all && now < next_[i])) continue;
            lines.push_back("refused " + std::to_string(pending_[i]) + (pending_[i] == 1 ? " message (" : " messages (") +
                            kRefusalForms[i].word + "), the latest: " + latest_[i]);
            pending_[i] = 0;
            next_[i] = now + every_;
        }
    }
    if (say_)
        for (const std::string& line : lines) say_(line);
}

}  // namespace agent
