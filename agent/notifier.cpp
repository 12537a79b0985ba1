#include "agent/notifier.hpp"

#include "agent/events.hpp"
#include "agent/notify_command.hpp"
#include "agent/time_text.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

extern char** environ;

namespace agent {
namespace {

constexpr int64_t kBatch = 64;             // events read from the store at a time
constexpr int64_t kMostScanned = 10000;    // events of a unit looked through for a flap's other half
constexpr int64_t kIdleCheckMs = 1000;     // the store is read this often even when no commit wakes it
constexpr int64_t kStoreRetryMs = 5000;    // after the store could not be read

// The event's detail as stored; anything but an object reads as an empty one.
Json::Value detail_of(const StoredEvent& event)
{
    Json::Value detail;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(event.detail.data(), event.detail.data() + event.detail.size(), &detail, nullptr) ||
        !detail.isObject())
        return Json::Value(Json::objectValue);
    return detail;
}

std::string member_text(const Json::Value& detail, const char* name)
{
    const Json::Value& value = detail[name];
    if (value.isString()) return value.asString();
    if (value.isIntegral()) return std::to_string(value.asInt64());
    return "";
}

// 2026-12-09T10:00:00Z: whole seconds, as a person reads a page.
std::string time_text(int64_t ms) { return iso8601_utc_ms(ms).substr(0, 19) + "Z"; }

// One line: whatever a name or a reason holds, no control character ends it early.
std::string one_line(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = ' ';
    return text;
}

bool alarm_kind(const std::string& kind)
{
    return kind == event_kind::kAlarmRaised || kind == event_kind::kAlarmCleared;
}

std::string opposite_of(const std::string& kind)
{
    if (kind == event_kind::kAlarmRaised) return event_kind::kAlarmCleared;
    if (kind == event_kind::kAlarmCleared) return event_kind::kAlarmRaised;
    if (kind == event_kind::kUnitLost) return event_kind::kUnitBack;
    if (kind == event_kind::kUnitBack) return event_kind::kUnitLost;
    return "";
}

// Which alarm an event is of; -1: not an alarm's.
int64_t position_of(const StoredEvent& event)
{
    if (!alarm_kind(event.kind)) return -1;
    const Json::Value& position = detail_of(event)["position"];
    return position.isIntegral() ? position.asInt64() : -2;
}

std::string alarm_code(const Json::Value& detail, int alarm_mode)
{
    const Json::Value& codes = detail["codes"];
    const Json::ArrayIndex at = alarm_mode == 2 ? 1 : 0;
    return codes.isArray() && codes.size() > at && codes[at].isString() ? codes[at].asString() : "";
}

}  // namespace

std::vector<std::string> Notifier::environment(const StoredEvent& event, const std::string& site, int alarm_mode)
{
    std::vector<std::string> env;
    // The agent's own environment (PATH, LANG), less any QM_ of its own: the event's are the only ones.
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        if (std::string(*e).rfind("QM_", 0) != 0) env.emplace_back(*e);
    const Json::Value detail = detail_of(event);
    const auto put = [&env](const char* name, const std::string& value) { env.push_back(name + ("=" + value)); };
    put("QM_SITE", site);
    put("QM_UNIT", event.unit);
    put("QM_EVENT", event.kind);
    put("QM_SEQ", std::to_string(event.seq));
    put("QM_TIME", time_text(event.ts_ms));
    if (alarm_kind(event.kind)) {
        put("QM_ALARM_POSITION", member_text(detail, "position"));
        put("QM_ALARM_NAME", member_text(detail, "name"));
        put("QM_ALARM_CODE", alarm_code(detail, alarm_mode));
        put("QM_ALARM_LEVEL", member_text(detail, "level"));
    }
    put("QM_DETAIL", compact_json(detail));
    return env;
}

std::string Notifier::text(const StoredEvent& event, const std::string& site)
{
    const Json::Value detail = detail_of(event);
    const std::string who = (event.unit.empty() ? site : event.unit) + ": ";
    const std::string at = " at " + time_text(event.ts_ms);
    std::string what;
    if (alarm_kind(event.kind))
        what = member_text(detail, "name") + (event.kind == event_kind::kAlarmRaised ? " raised" : " cleared") +
               " (level " + member_text(detail, "level") + ")";
    else if (event.kind == event_kind::kUnitLost)
        what = "not answering (" + member_text(detail, "error") + ")";
    else if (event.kind == event_kind::kUnitBack)
        what = "answering again after " + member_text(detail, "failed") + " failed cycles";
    else if (event.kind == event_kind::kControl)
        what = "control " + member_text(detail, "code") + " result " + member_text(detail, "result") + " (by " +
               member_text(detail, "source") + ")";
    else
        what = event.kind;
    return one_line(who + what + at);
}

Notifier::Notifier(NotifierSetup setup, SharedStore& store)
    : setup_(std::move(setup)), store_(store), reader_(store.path())
{
    for (const auto& [kind, ms] : setup_.settings.hold_ms) most_hold_ms_ = std::max(most_hold_ms_, ms);
    if (const std::optional<int64_t> mark = store_.notified_mark()) {
        mark_ = *mark;
    } else {
        mark_ = store_.resume_state().last_event_seq;
        store_.set_notified_mark(mark_);
    }
}

Notifier::~Notifier() { stop(); }

void Notifier::start() { thread_ = std::thread([this] { run(); }); }

void Notifier::wake()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        woken_ = true;
    }
    changed_.notify_all();
}

void Notifier::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!stopping_) stop_by_steady_ms_ = steady_now_ms() + setup_.stop_grace_ms;
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Notifier::ended() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return stopping_ && steady_now_ms() >= stop_by_steady_ms_;
}

// Waits until the wall clock reaches utc_ms, a wake or a stop; false on a stop.
bool Notifier::wait_until_ms(int64_t utc_ms)
{
    std::unique_lock<std::mutex> hold(lock_);
    const int64_t wait_ms = std::max<int64_t>(0, utc_ms - utc_now_ms());
    changed_.wait_for(hold, std::chrono::milliseconds(wait_ms), [this] { return stopping_ || woken_; });
    woken_ = false;
    return !stopping_;
}

std::optional<int64_t> Notifier::due_ms(const StoredEvent& event)
{
    const auto hold = setup_.settings.hold_ms.find(event.kind);
    if (hold == setup_.settings.hold_ms.end() || hold->second == 0) return std::nullopt;
    return event.ts_ms + hold->second + setup_.settle_ms;
}

// Half of a flap: its opposite came within the hold-off of whichever of the two came first.
bool Notifier::is_flap(const StoredEvent& event)
{
    const std::string opposite = opposite_of(event.kind);
    if (opposite.empty() || event.unit.empty()) return false;
    const int64_t position = position_of(event);
    const auto same_subject = [&](const StoredEvent& other) {
        return (other.kind == event.kind || other.kind == opposite) && position_of(other) == position;
    };
    const auto hold_of = [this](const std::string& kind) {
        const auto hold = setup_.settings.hold_ms.find(kind);
        return hold == setup_.settings.hold_ms.end() ? int64_t{0} : hold->second;
    };
    bool flap = false;
    // Taken back by the next of its subject, within this event's hold-off.
    if (const int64_t hold = hold_of(event.kind); hold > 0) {
        StoreQuery later;
        later.unit = event.unit;
        later.after_seq = event.seq;
        later.from_ms = event.ts_ms;
        later.to_ms = event.ts_ms + hold + 1;
        later.limit = kMostScanned;
        reader_.each_event(later, [&](const StoredEvent& other) {
            if (!same_subject(other)) return true;
            flap = other.kind == opposite;
            return false;
        });
        if (flap) return true;
    }
    // Or taking back the one before it of its subject, within that one's hold-off.
    StoreQuery earlier;
    earlier.unit = event.unit;
    earlier.from_ms = event.ts_ms - most_hold_ms_;
    earlier.to_ms = event.ts_ms + 1;
    earlier.newest_first = true;
    earlier.limit = kMostScanned;
    reader_.each_event(earlier, [&](const StoredEvent& other) {
        if (other.seq >= event.seq || !same_subject(other)) return true;
        const int64_t hold = hold_of(other.kind);
        flap = other.kind == opposite && hold > 0 && event.ts_ms - other.ts_ms <= hold;
        return false;
    });
    return flap;
}

Notifier::Told Notifier::tell(const StoredEvent& event)
{
    const auto mode = setup_.alarm_modes.find(event.unit);
    const int alarm_mode = mode == setup_.alarm_modes.end() ? 1 : mode->second;
    CommandRun run;
    run.argv = setup_.settings.command;
    run.env = environment(event, setup_.site, alarm_mode);
    run.input = text(event, setup_.site) + "\n";
    run.timeout_ms = setup_.settings.timeout_ms;
    std::string reason;
    for (int attempt = 1; attempt <= kNotifyAttempts; ++attempt) {
        const CommandOutcome outcome = run_command(run, [this] { return ended(); });
        if (outcome.succeeded) return Told::Done;
        if (outcome.stopped) return Told::Stopped;
        reason = outcome.reason;
        if (setup_.log)
            setup_.log("notify: event " + std::to_string(event.seq) + " (" + event.kind + "), attempt " +
                       std::to_string(attempt) + " of " + std::to_string(kNotifyAttempts) + ": " + reason);
        if (attempt == kNotifyAttempts) break;
        std::unique_lock<std::mutex> hold(lock_);
        // A stopping agent does not wait to retry: the next start tries again.
        if (changed_.wait_for(hold, std::chrono::milliseconds(setup_.settings.retry_ms), [this] { return stopping_; }))
            return Told::Stopped;
    }
    Cycle cycle;
    cycle.time_ms = utc_now_ms();
    cycle.events.push_back({"", cycle.time_ms, event_kind::kNotifyFailed,
                            notify_failed_detail(event.seq, event.kind, kNotifyAttempts, reason)});
    store_.write(cycle);
    store_.flush();  // stored before the mark moves past the event it tells of
    return Told::Done;
}

void Notifier::move_mark(int64_t seq)
{
    mark_ = seq;
    store_.set_notified_mark(mark_);
}

void Notifier::run()
{
    while (!ended()) {
        std::vector<StoredEvent> batch;
        try {
            StoreQuery next;
            next.after_seq = mark_;
            next.limit = kBatch;
            reader_.each_event(next, [&batch](const StoredEvent& e) {
                batch.push_back(e);
                return true;
            });
        } catch (const std::exception& e) {
            if (setup_.log) setup_.log(std::string("notify: cannot read the store's events: ") + e.what());
            if (!wait_until_ms(utc_now_ms() + kStoreRetryMs)) return;
            continue;
        }
        if (batch.empty()) {
            if (!wait_until_ms(utc_now_ms() + kIdleCheckMs)) return;
            continue;
        }
        int64_t passed = mark_;  // events passed over since the mark was last written
        try {
            for (const StoredEvent& event : batch) {
                if (setup_.settings.events.count(event.kind) == 0) {
                    passed = event.seq;
                    continue;
                }
                if (const std::optional<int64_t> due = due_ms(event); due && utc_now_ms() < *due) {
                    if (passed != mark_) move_mark(passed);
                    {
                        std::lock_guard<std::mutex> hold(lock_);
                        if (stopping_) return;  // told at the next start, once it has stood
                    }
                    wait_until_ms(*due);
                    break;
                }
                if (is_flap(event)) {
                    if (setup_.log)
                        setup_.log("notify: event " + std::to_string(event.seq) + " (" + event.kind + " of " +
                                   event.unit + ") not told: taken back within its hold-off");
                    passed = event.seq;
                    continue;
                }
                if (tell(event) == Told::Stopped) {
                    if (passed != mark_) move_mark(passed);
                    return;
                }
                move_mark(event.seq);
                passed = event.seq;
            }
        } catch (const std::exception& e) {
            if (setup_.log) setup_.log(std::string("notify: ") + e.what());
            if (!wait_until_ms(utc_now_ms() + kStoreRetryMs)) return;
        }
        if (passed != mark_) move_mark(passed);
    }
}

}  // namespace agent
