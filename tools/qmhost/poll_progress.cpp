#include "tools/qmhost/poll_progress.hpp"

#include "hosting/local_time.hpp"

#include <iostream>

namespace {

constexpr auto kAtMostEvery = std::chrono::seconds(60);

}  // namespace

PollProgress::PollProgress(bool enabled, double interval_s)
    : enabled_(enabled), every_cycle_(interval_s >= 60.0)
{
}

void PollProgress::banner(const std::string& text) const
{
    if (enabled_) std::cerr << text << std::flush;
}

void PollProgress::cycle_done(long cycle, long completed, long failed)
{
    if (!enabled_) return;
    if (first_ == 0) first_ = cycle;
    last_ = cycle;
    completed_ += completed;
    failed_ += failed;
    // The first cycle at once: the poll is seen working from the start.
    if (every_cycle_ || !told_ || Clock::now() - last_told_ >= kAtMostEvery) tell();
}

void PollProgress::finish()
{
    if (enabled_ && first_ != 0) tell();
}

void PollProgress::tell()
{
    const std::string cycles = first_ == last_ ? "cycle " + std::to_string(first_)
                                               : "cycles " + std::to_string(first_) + " to " + std::to_string(last_);
    std::cerr << iso8601_local_now() << "  " << cycles << ": " << completed_ << " completed, " << failed_
              << " failed" << std::endl;
    told_ = true;
    last_told_ = Clock::now();
    first_ = last_ = completed_ = failed_ = 0;
}
