// SIGINT and SIGTERM as a stop request: blocked from delivery, and taken
// between requests or while waiting for the next cycle, so that a poll
// stops cleanly and on time.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>

class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        // Threads started after this inherit the mask.
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }

    bool requested()
    {
        if (!stopped_) wait_for(std::chrono::nanoseconds(0));
        return stopped_;
    }

    // Waits up to `how_long`; true when a stop was asked for.
    bool wait_for(std::chrono::nanoseconds how_long)
    {
        if (stopped_) return true;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(how_long);
        timespec timeout{static_cast<time_t>(seconds.count()),
                         static_cast<long>((how_long - seconds).count())};
        if (sigtimedwait(&set_, nullptr, &timeout) > 0) stopped_ = true;
        return stopped_;
    }

private:
    sigset_t set_;
    bool stopped_ = false;
};
