// Signs of life on standard error while poll's results go to files: a line
// per cycle, or one a minute when cycles come faster, so a long poll into
// files is seen running without flooding the terminal.
#pragma once

#include <chrono>
#include <string>

class PollProgress {
public:
    // Silent when not `enabled`.
    PollProgress(bool enabled, double interval_s);

    // The banner, on standard error.
    void banner(const std::string& text) const;
    // One cycle done (each unit polled once): how many units completed it
    // and how many failed.
    void cycle_done(long cycle, long completed, long failed);
    // What was counted since the last line, at the end of the poll.
    void finish();

private:
    void tell();

    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool every_cycle_;
    Clock::time_point last_told_{};
    bool told_ = false;
    long first_ = 0, last_ = 0;  // cycles counted since the last line
    long completed_ = 0, failed_ = 0;
};
