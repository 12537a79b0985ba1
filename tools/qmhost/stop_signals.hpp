// SIGINT and SIGTERM as a stop request: blocked from delivery, and taken
// between requests or while waiting for the next cycle, so that a poll
// stops cleanly and on time. A second one can end what the first let finish
// (a write awaiting its answer).
#pragma once

#include <signal.h>

#include <chrono>

class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigprocmask(SIG_BLOCK, &set_, nullptr);
    }

    bool requested()
    {
        if (taken_ == 0) wait_for(std::chrono::nanoseconds(0));
        return taken_ > 0;
    }

    // True once a stop signal has come after the first.
    bool requested_again()
    {
        if (taken_ < 2) take(std::chrono::nanoseconds(0));
        return taken_ >= 2;
    }

    // Waits up to `how_long`; true when a stop was asked for.
    bool wait_for(std::chrono::nanoseconds how_long)
    {
        if (taken_ == 0) take(how_long);
        return taken_ > 0;
    }

private:
    void take(std::chrono::nanoseconds how_long)
    {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(how_long);
        timespec timeout{static_cast<time_t>(seconds.count()),
                         static_cast<long>((how_long - seconds).count())};
        if (sigtimedwait(&set_, nullptr, &timeout) > 0) ++taken_;
    }

    sigset_t set_;
    int taken_ = 0;  // stop signals taken so far
};
