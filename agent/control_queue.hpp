// The controls waiting for one line: handed in by the HTTP server's threads,
// run by the line's poller between its cycles (one request on the line at a
// time), answered back to the thread that waits for each.
#pragma once

#include "agent/control_request.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace agent {

class ControlQueue {
public:
    using Clock = std::chrono::steady_clock;
    // Requests waiting on one line; more are answered Busy. A person or two
    // controlling a line, not a program flooding it.
    static constexpr std::size_t kMaxWaiting = 4;

    // From an HTTP thread: queues the request for the unit (its place on the
    // line) and waits for its answer. One not started by `deadline` is taken
    // back and answered TimedOut; one started is waited for to the end.
    ControlAnswer submit(std::size_t unit, ControlRequest request, Clock::time_point deadline);

    // From the poller: waits until `when`, a request or `stopped()`; true
    // when requests wait. A stop must be followed by wake(): the wait sleeps
    // to `when` otherwise.
    bool wait_until(Clock::time_point when, const std::function<bool()>& stopped);
    // What wait_until waits for may have changed (a stop was requested).
    void wake();
    // From the poller: runs each waiting request with `run` and answers it.
    void run_waiting(const std::function<ControlAnswer(std::size_t unit, const ControlRequest&)>& run);
    // The agent stops: what waits is answered Stopping, and nothing more is taken.
    void close();

private:
    struct Waiting {
        std::size_t unit;
        ControlRequest request;
        bool started = false;
        bool answered = false;
        ControlAnswer answer;
    };

    std::mutex lock_;
    std::condition_variable arrived_;   // the poller's wait
    std::condition_variable answered_;  // the HTTP threads' waits
    std::deque<std::shared_ptr<Waiting>> waiting_;
    bool closed_ = false;
};

}  // namespace agent
