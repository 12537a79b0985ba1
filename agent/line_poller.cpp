#include "agent/line_poller.hpp"

#include "agent/events.hpp"
#include "agent/time_text.hpp"
#include "driver/catalogues/alarm_catalogue.hpp"
#include "host/contract.hpp"
#include "host/libmodbus_link.hpp"
#include "hosting/control_outcome.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <sys/timex.h>

#include <algorithm>
#include <stdexcept>

namespace agent {
namespace {
using Clock = std::chrono::steady_clock;
// The stop of the line whose thread this is.
thread_local const StopRequest* t_line_stop = nullptr;
}  // namespace

void StopRequest::request()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        requested_ = true;
        for (const auto& waker : wakers_) waker.second();
    }
    woken_.notify_all();
}

std::size_t StopRequest::on_request(std::function<void()> wake)
{
    std::lock_guard<std::mutex> hold(lock_);
    wakers_.emplace_back(++next_waker_, std::move(wake));
    return next_waker_;
}

void StopRequest::forget(std::size_t id)
{
    std::lock_guard<std::mutex> hold(lock_);
    wakers_.erase(std::remove_if(wakers_.begin(), wakers_.end(), [id](const auto& w) { return w.first == id; }),
                  wakers_.end());
}

void StopRequest::fail(const std::string& reason)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (failure_.empty()) failure_ = reason;
    }
    request();
}

std::string StopRequest::failure()
{
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
}

bool StopRequest::wait_until(Clock::time_point when)
{
    std::unique_lock<std::mutex> hold(lock_);
    return woken_.wait_until(hold, when, [this] { return requested(); });
}

bool clock_synchronised()
{
    timex state{};
    const int clock = ntp_adjtime(&state);
    return clock >= 0 && clock != TIME_ERROR && !(state.status & STA_UNSYNC);
}

struct LinePoller::Unit {
    SiteUnit site;
    std::unique_ptr<HostedDevice> device;
    UnitHealth health;
    // Alarm points active as last written to the store, by position.
    std::vector<bool> active;
    // This cycle's raises and clears, as its reports arrived.
    std::vector<NewEvent> alarm_events;
    std::size_t place = 0;  // on the line, from 0
    int64_t lost_ms = 0;    // lost before the start, since then (UTC ms); 0: not
};

LinePoller::LinePoller(const PluginLibrary& plugin, const SiteLine& line, std::size_t line_index,
                       const ResumeState& resume, StopRequest& stop, CycleWriter write)
    : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(line.interval_s))),
      stop_(stop),
      write_(std::move(write)),
      line_index_(line_index)
{
    std::vector<int> slaves;
    for (const SiteUnit& unit : line.units) slaves.push_back(unit.slave);
    // The units' drivers share the one open line, each with its slave id.
    const auto links = make_shared_line_links(line.link, slaves);
    for (std::size_t i = 0; i < line.units.size(); ++i) {
        auto unit = std::make_unique<Unit>();
        unit->site = line.units[i];
        unit->place = i;
        try {
            unit->device = std::make_unique<HostedDevice>(plugin, unit->site.device_id,
                                                          unit_device_config(line, unit->site), nullptr,
                                                          nullptr);
        } catch (const std::runtime_error& e) {
            throw SiteFileError("lines[" + std::to_string(line_index) + "].units[" + std::to_string(i) +
                                       "].settings: " + e.what());
        }
        unit->device->share_line(links[i]);
        Unit& watched = *unit;
        unit->device->watch_alarm_points(
            [&watched](int position, const ThresholdReport& report) { compare_alarm_point(watched, position, report); });
        unit->active.assign(kAlarmPointCount, false);
        const auto resumed = resume.units.find(unit->site.name);
        if (resumed != resume.units.end()) {
            for (int position : resumed->second.active_alarms)
                if (position >= 0 && static_cast<std::size_t>(position) < unit->active.size())
                    unit->active[static_cast<std::size_t>(position)] = true;
            if (resumed->second.lost) {
                unit->health.resume_lost(static_cast<long>(resumed->second.lost_failed));
                unit->lost_ms = resumed->second.lost_ms;
            }
        }
        units_.push_back(std::move(unit));
    }
    // Between cycles the thread sleeps on its control queue; a stop wakes it there.
    const auto wake = [this] { controls_.wake(); };
    stop_waker_ = stop_.on_request(wake);
    line_stop_.on_request(wake);
}

void LinePoller::show_state_in(SiteState& state, std::size_t first_unit)
{
    state_ = &state;
    first_unit_ = first_unit;
    for (const auto& unit : units_)
        if (unit->health.lost())
            state.resumed_lost(first_unit + unit->place, unit->health.failed_in_row(), unit->lost_ms);
}

std::optional<std::size_t> LinePoller::unit_place(const std::string& name) const
{
    for (std::size_t i = 0; i < units_.size(); ++i)
        if (units_[i]->site.name == name) return i;
    return std::nullopt;
}

LinePoller::~LinePoller()
{
    stop_.forget(stop_waker_);
    if (thread_.joinable()) {
        line_stop_.request();
        thread_.join();
    }
}

void LinePoller::start() { thread_ = std::thread([this] { run(); }); }

void LinePoller::stop()
{
    line_stop_.request();
    controls_.close();
}

bool LinePoller::this_line_stopping() { return t_line_stop && t_line_stop->requested(); }

void LinePoller::join()
{
    if (thread_.joinable()) thread_.join();
}

Clock::time_point LinePoller::first_due() const
{
    Clock::time_point first = Clock::time_point::max();
    for (const auto& unit : units_) first = std::min(first, unit->health.resume_at());
    return first;
}

void LinePoller::run()
{
    t_line_stop = &line_stop_;
    try {
        poll_until_stopped();
    } catch (const std::exception& e) {
        stop_.fail(std::string("a line's poller stopped: ") + e.what());
    }
    controls_.close();
}

// A line that cannot be opened now is tried again at each cycle; its error
// is in the unit_lost event that follows.
void LinePoller::poll_until_stopped()
{
    try {
        units_.front()->device->open_link();
    } catch (const std::runtime_error&) {
    }
    auto next_start = Clock::now();
    bool stopped = false;
    while (!stopped) {
        // When every unit is pausing, the next cycle waits for the first to be due.
        if (wait_between_cycles(std::max(next_start, first_due()))) break;
        const auto round_start = Clock::now();
        next_start = round_start + interval_;
        Cycle cycle;
        for (auto& unit : units_) {
            if (!unit->health.due(Clock::now())) continue;
            poll_unit(*unit, cycle, stopped);
            if (stopped) break;
        }
        if (state_) state_->round_done(line_index_, std::chrono::duration<double>(Clock::now() - round_start).count());
        if (cycle.records.empty() && cycle.events.empty()) continue;
        cycle.time_ms = utc_now_ms();
        write_(cycle);
    }
}

void LinePoller::poll_unit(Unit& unit, Cycle& cycle, bool& stopped)
{
    unit.alarm_events.clear();
    const auto started = Clock::now();
    const CycleResult result = unit.device->run_cycle([this] { return stopping(); });
    if (result.stopped) {
        stopped = true;
        return;
    }
    if (result.completed)
        completed(unit, cycle);
    else if (unit.health.failed(result) == UnitHealth::Failure::Lost)
        cycle.events.push_back({unit.site.name, utc_now_ms(), event_kind::kUnitLost,
                                unit_lost_detail(unit.health.failed_in_row(),
                                                        unit.health.lost_text(result) + ": " + result.error)});
    if (state_) show_cycle(unit, result, Clock::now() - started);
}

void LinePoller::completed(Unit& unit, Cycle& cycle)
{
    const int64_t now_ms = utc_now_ms();
    if (unit.health.answered())
        cycle.events.push_back({unit.site.name, now_ms, event_kind::kUnitBack,
                                unit_back_detail(unit.health.failed_in_row())});
    unit.health.reset();

    const HostOutputs& outputs = unit.device->outputs();
    NewRecord record;
    record.unit = unit.site.name;
    record.slave = unit.site.slave;
    record.device_id = unit.site.device_id;
    record.ts_ms = now_ms;
    record.local_time = boost::posix_time::to_iso_extended_string(unit.device->device().cycle_time());
    record.clock_ok = clock_synchronised();
    record.rtype = contract::kRecordType;
    record.body = outputs.record();
    cycle.records.push_back(std::move(record));
    for (NewEvent& event : unit.alarm_events) cycle.events.push_back(std::move(event));
}

// Against what the store holds, not the host's own memory of the points: a
// restarted agent does not raise again what was active before it stopped.
// Called for each of a completed cycle's reports, so it copies the texts of
// a change only.
void LinePoller::compare_alarm_point(Unit& unit, int position, const ThresholdReport& report)
{
    const auto at = static_cast<std::size_t>(position);
    if (at >= unit.active.size() || unit.active[at] == report.state) return;
    unit.active[at] = report.state;
    const AlarmPoint& catalogued = kAlarmCatalogue[at];
    unit.alarm_events.push_back({unit.site.name, utc_now_ms(),
                                 report.state ? event_kind::kAlarmRaised : event_kind::kAlarmCleared,
                                 alarm_detail(position, catalogued.mode1_code, catalogued.mode2_code,
                                                     report.alarm_name, report.level)});
}

// ---------------------------------------------------------------- what the HTTP server sees and asks

void LinePoller::show_cycle(const Unit& unit, const CycleResult& result, Clock::duration took)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    const std::size_t index = first_unit_ + unit.place;
    if (result.completed)
        state_->completed(index, unit.device->outputs().record(), utc_now_ms(),
                          boost::posix_time::to_iso_extended_string(unit.device->device().cycle_time()), us);
    else
        state_->failed(index, unit.health.lost(), unit.health.failed_in_row(), result.error, utc_now_ms(), us);
}

// Until `until`, running the controls that arrive meanwhile; true on a stop.
bool LinePoller::wait_between_cycles(Clock::time_point until)
{
    const auto stopped = [this] { return stopping(); };
    while (controls_.wait_until(until, stopped)) {
        if (stopped()) return true;
        controls_.run_waiting([this](std::size_t place, const ControlRequest& request) {
            return run_control(place, request);
        });
    }
    return stopped();
}

// The write and its outcome, told as a control event in the store.
ControlAnswer LinePoller::run_control(std::size_t place, const ControlRequest& request)
{
    Unit& unit = *units_.at(place);
    const ControlResult result = unit.device->control(request.code, request.input);
    ControlAnswer answer;
    answer.handed = result.handed;
    answer.wrote = result.wrote;
    answer.result = result.outcome;
    answer.exit_status = exit_code(control_exit(result, answer.message));
    Cycle cycle;
    cycle.time_ms = utc_now_ms();
    cycle.events.push_back({unit.site.name, cycle.time_ms, event_kind::kControl,
                            control_detail(request.code, control_input_hex(request.input),
                                           result.outcome.value_or(contract::kControlPending),
                                           request.source)});
    write_(cycle);
    return answer;
}

}  // namespace agent
