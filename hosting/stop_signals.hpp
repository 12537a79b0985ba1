// SIGINT and SIGTERM as a stop request, SIGHUP as a request to reopen the
// output files: blocked from delivery, and taken between requests or while
// waiting for the next cycle, so that a poll stops cleanly and on time and
// never reopens a file in the middle of a cycle. A second stop signal can end
// what the first let finish (a write awaiting its answer).
#pragma once

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <utility>

class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        // Threads started after this inherit the mask.
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }

    bool requested()
    {
        if (taken_ == 0) take(std::chrono::nanoseconds(0));
        return taken_ > 0;
    }

    // True once a stop signal has come after the first.
    bool requested_again()
    {
        if (taken_ < 2) take(std::chrono::nanoseconds(0));
        return taken_ >= 2;
    }

    // Waits up to `how_long`; true when a stop was asked for. A SIGHUP is
    // noted and the wait goes on.
    bool wait_for(std::chrono::nanoseconds how_long)
    {
        if (taken_ == 0) take(how_long);
        return taken_ > 0;
    }

    // True once for each SIGHUP (or several taken together) since the last call.
    bool reopen_requested()
    {
        requested();
        return std::exchange(reopen_, false);
    }

private:
    // Waits up to `how_long` for one stop signal, noting SIGHUPs meanwhile.
    void take(std::chrono::nanoseconds how_long)
    {
        const auto until = std::chrono::steady_clock::now() + how_long;
        for (;;) {
            const auto left = std::max<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now(),
                                                                  std::chrono::nanoseconds::zero());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>((left - seconds).count())};
            const int signal = sigtimedwait(&set_, nullptr, &timeout);
            if (signal == SIGHUP) {
                reopen_ = true;
                continue;
            }
            if (signal > 0) ++taken_;
            return;
        }
    }

    sigset_t set_;
    int taken_ = 0;  // stop signals taken so far
    bool reopen_ = false;
};
