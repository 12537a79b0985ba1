// The site agent's poller of one line: its own thread, its units in turn, one
// request on the line at a time. Each cycle's records and events are handed
// to the store as one piece; a silent unit or a lost line delays only this
// line.
#pragma once

#include "agent/control_queue.hpp"
#include "agent/site_file.hpp"
#include "agent/site_state.hpp"
#include "agent/store.hpp"
#include "hosting/hosted_device.hpp"
#include "hosting/unit_health.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace agent {

// The agent's stop request, shared by its pollers: asked between requests
// and by the links while they wait, and waited on between cycles.
class StopRequest {
public:
    void request();
    bool requested() const { return requested_.load(std::memory_order_relaxed); }
    // A part that cannot go on stops them all, and the agent exits with 1
    // after telling the first reason.
    void fail(const std::string& reason);
    std::string failure();
    // Waits until `when` or a stop; true on a stop.
    bool wait_until(std::chrono::steady_clock::time_point when);
    // `wake` is called when the stop is requested, so that a poller sleeping
    // on a condition of its own wakes at once (rather than looking every so
    // often: a line's thread between cycles, 32 of them at 10 looks a second,
    // cost the agent a fifth of its CPU). Returns the id forget() takes.
    std::size_t on_request(std::function<void()> wake);
    void forget(std::size_t id);

private:
    std::atomic<bool> requested_{false};
    std::vector<std::pair<std::size_t, std::function<void()>>> wakers_;
    std::size_t next_waker_ = 0;
    std::string failure_;
    std::mutex lock_;
    std::condition_variable woken_;
};

// Where a poller's cycles go: the store, serialized by the owner. It also
// tells each event on standard error.
using CycleWriter = std::function<void(const Cycle&)>;

class LinePoller {
public:
    // Makes a driver per unit over one open line; throws
    // SiteFileError naming the unit whose settings its driver refused.
    LinePoller(const PluginLibrary& plugin, const SiteLine& line, std::size_t line_index,
               const ResumeState& resume, StopRequest& stop, CycleWriter write);
    // Where each cycle's outcome is shown (the HTTP server's snapshot), the
    // line's first unit being unit `first_unit` of the site. Before start().
    void show_state_in(SiteState& state, std::size_t first_unit);
    ~LinePoller();
    LinePoller(const LinePoller&) = delete;
    LinePoller& operator=(const LinePoller&) = delete;

    void start();
    // This line alone stops (a reload restarts it); the agent's stop stops all.
    void stop();
    // After the stop was requested: waits for the thread's last cycle.
    void join();
    // True on a line's own thread when that line is asked to stop: the
    // links' wait looks at it beside the agent's stop.
    static bool this_line_stopping();

    // Controls for this line's units, run between its cycles.
    ControlQueue& controls() { return controls_; }
    // The unit's place on this line, if it is one of its units.
    std::optional<std::size_t> unit_place(const std::string& name) const;

private:
    struct Unit;

    void run();
    void poll_until_stopped();
    void poll_unit(Unit& unit, Cycle& cycle, bool& stopped);
    void completed(Unit& unit, Cycle& cycle);
    static void compare_alarm_point(Unit& unit, int position, const ThresholdReport& report);
    UnitHealth::Clock::time_point first_due() const;
    bool wait_between_cycles(std::chrono::steady_clock::time_point until);
    bool stopping() const { return stop_.requested() || line_stop_.requested(); }
    ControlAnswer run_control(std::size_t place, const ControlRequest& request);
    void show_cycle(const Unit& unit, const CycleResult& result, std::chrono::steady_clock::duration took);

    std::vector<std::unique_ptr<Unit>> units_;
    std::chrono::steady_clock::duration interval_;
    StopRequest& stop_;
    StopRequest line_stop_;
    CycleWriter write_;
    std::size_t line_index_;
    ControlQueue controls_;
    SiteState* state_ = nullptr;
    std::size_t first_unit_ = 0;
    std::size_t stop_waker_ = 0;
    std::thread thread_;
};

// The kernel's word on the clock: false when NTP says it is not synchronised.
bool clock_synchronised();

}  // namespace agent
