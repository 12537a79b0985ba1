// The notification command for stored events: a shell script stands in for
// it and appends its QM_ environment and its standard input to a file, one
// block per run that finished. The table of event kinds with what each is
// told; a command that fails, hangs or is missing; a stop in the middle of a
// burst; flaps within a hold-off; a store that never had a mark.
#include "agent/agent_stats.hpp"
#include "agent/events.hpp"
#include "agent/notifier.hpp"
#include "agent/time_text.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace agent;

// argv: the log file, then "ok", "fail" or "hang", then seconds to take first.
// The block is written last: a run killed part-way leaves none.
constexpr const char* kScript = R"(#!/bin/sh
sleep "$3"
case "$2" in hang) sleep 30 ;; esac
text=$(cat)
{ echo "--"; env | grep '^QM_' | sort; echo "TEXT=$text"; } >> "$1"
case "$2" in fail) echo "mail: no route" >&2; exit 3 ;; esac
exit 0
)";

using Block = std::map<std::string, std::string>;

std::string of(const Block& block, const std::string& name)
{
    const auto found = block.find(name);
    return found == block.end() ? "" : found->second;
}

class NotifyTest : public ::testing::Test {
protected:
    NotifyTest() : folder_(std::filesystem::temp_directory_path() / ("qm_notify_" + std::to_string(getpid())))
    {
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "notify.sh") << kScript;
        ::chmod((folder_ / "notify.sh").c_str(), 0755);
        settings_.path = (folder_ / "store.db").string();
        settings_.site = "room-1";
        settings_.commit_interval_ms = 0;
        store_ = std::make_unique<SharedStore>(settings_, stats_);
        // A history before notify was added: never told.
        write({"crac-1", utc_now_ms() - 3600000, event_kind::kAlarmRaised, alarm_detail(9, "a", "b", "old", 1)});
    }
    ~NotifyTest() override
    {
        notifier_.reset();
        store_.reset();
        std::filesystem::remove_all(folder_);
    }

    NotifySettings notify(const char* mode, const char* delay = "0")
    {
        NotifySettings n;
        n.command = {(folder_ / "notify.sh").string(), (folder_ / "told").string(), mode, delay};
        for (const char* kind : notify_event_kinds()) n.events.insert(kind);
        n.timeout_ms = 2000;
        n.retry_ms = 50;
        return n;
    }
    void start(const NotifySettings& n, int64_t grace_ms = 2000)
    {
        NotifierSetup setup;
        setup.settings = n;
        setup.site = "room-1";
        setup.alarm_modes = {{"crac-2", 2}};
        setup.settle_ms = 0;
        setup.stop_grace_ms = grace_ms;
        notifier_ = std::make_unique<Notifier>(setup, *store_);
        notifier_->start();
    }
    void write(const NewEvent& event)
    {
        store_->write(Cycle{event.ts_ms, {}, {event}});
        store_->flush();
        if (notifier_) notifier_->wake();
    }
    std::vector<Block> told()
    {
        std::ifstream in(folder_ / "told");
        std::vector<Block> blocks;
        for (std::string line; std::getline(in, line);) {
            if (line == "--") blocks.emplace_back();
            else if (!blocks.empty() && line.find('=') != std::string::npos)
                blocks.back()[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        // A block still being written is not counted yet.
        if (!blocks.empty() && blocks.back().count("TEXT") == 0) blocks.pop_back();
        return blocks;
    }
    std::vector<Block> wait_told(std::size_t count, int seconds = 10)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (told().size() < count && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return told();
    }
    void fresh_store()
    {
        store_.reset();
        for (const char* file : {"store.db", "store.db-wal", "store.db-shm", "told"}) std::filesystem::remove(folder_ / file);
        store_ = std::make_unique<SharedStore>(settings_, stats_);
    }
    std::vector<StoredEvent> stored(const std::string& kind)
    {
        std::vector<StoredEvent> events;
        StoreReader(settings_.path).each_event({}, [&](const StoredEvent& e) {
            if (e.kind == kind) events.push_back(e);
            return true;
        });
        return events;
    }

    std::filesystem::path folder_;
    StoreSettings settings_;
    AgentStats stats_;
    std::unique_ptr<SharedStore> store_;
    std::unique_ptr<Notifier> notifier_;
};

constexpr int64_t kT = 1796810400000;  // 2026-12-09T10:00:00Z

TEST_F(NotifyTest, EachKindIsToldWithItsEnvironmentAndLine)
{
    struct Case {
        NewEvent event;
        Block expected;  // members of the command's environment, TEXT its standard input
    };
    const Case cases[] = {
        {{"crac-1", kT, event_kind::kAlarmRaised, alarm_detail(37, "602400101023", "120830170320", "回风高温告警", 2)},
         {{"QM_UNIT", "crac-1"}, {"QM_EVENT", "alarm_raised"}, {"QM_TIME", "2026-12-09T10:00:00Z"},
          {"QM_ALARM_POSITION", "37"}, {"QM_ALARM_NAME", "回风高温告警"}, {"QM_ALARM_CODE", "602400101023"},
          {"QM_ALARM_LEVEL", "2"}, {"TEXT", "crac-1: 回风高温告警 raised (level 2) at 2026-12-09T10:00:00Z"}}},
        {{"crac-2", kT + 1000, event_kind::kAlarmCleared, alarm_detail(37, "602400101023", "120830170320", "回风高温告警", 2)},
         {{"QM_EVENT", "alarm_cleared"}, {"QM_ALARM_CODE", "120830170320"},
          {"TEXT", "crac-2: 回风高温告警 cleared (level 2) at 2026-12-09T10:00:01Z"}}},
        {{"crac-1", kT, event_kind::kUnitLost, unit_lost_detail(3, "timeout\nline 2")},
         {{"QM_EVENT", "unit_lost"}, {"QM_DETAIL", R"({"error":"timeout\nline 2","failed":3})"},
          {"TEXT", "crac-1: not answering (timeout line 2) at 2026-12-09T10:00:00Z"}}},
        {{"crac-1", kT, event_kind::kUnitBack, unit_back_detail(4)},
         {{"QM_EVENT", "unit_back"}, {"TEXT", "crac-1: answering again after 4 failed cycles at 2026-12-09T10:00:00Z"}}},
        {{"crac-1", kT, event_kind::kControl, control_detail(2, "01", 0, "http")},
         {{"QM_EVENT", "control"}, {"TEXT", "crac-1: control 2 result 0 (by http) at 2026-12-09T10:00:00Z"}}},
        {{"", kT, event_kind::kAgentStarted, agent_detail("1.0", "ab")},
         {{"QM_UNIT", ""}, {"QM_EVENT", "agent_started"}, {"QM_ALARM_NAME", ""},
          {"TEXT", "room-1: agent_started at 2026-12-09T10:00:00Z"}}},
    };
    start(notify("ok"));
    write({"", kT, event_kind::kNotifyFailed, notify_failed_detail(1, "control", 3, "x")});  // never told
    for (const Case& c : cases) write(c.event);
    const std::vector<Block> blocks = wait_told(std::size(cases));
    ASSERT_EQ(blocks.size(), std::size(cases));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(of(blocks[i], "QM_SITE"), "room-1");
        for (const auto& [name, value] : cases[i].expected) EXPECT_EQ(of(blocks[i], name), value) << i << " " << name;
    }
}

TEST_F(NotifyTest, ACommandThatFailsHangsOrIsMissingEndsInNotifyFailed)
{
    struct Case {
        const char* mode;
        std::string program;  // empty: the script
        int runs_told;        // blocks the script wrote
        const char* reason;
    };
    const Case cases[] = {
        {"fail", "", 3, "exit status 3: mail: no route"},
        {"hang", "", 0, "still running after 300 ms: killed"},
        {"ok", "/nonexistent/notify", 0, "cannot run /nonexistent/notify: No such file or directory"},
    };
    for (const Case& c : cases) {
        NotifySettings n = notify(c.mode);
        if (!c.program.empty()) n.command[0] = c.program;
        n.timeout_ms = 300;
        start(n);
        const auto began = std::chrono::steady_clock::now();
        write({"crac-1", utc_now_ms(), event_kind::kUnitBack, unit_back_detail(1)});
        while (stored(event_kind::kNotifyFailed).empty() && std::chrono::steady_clock::now() < began + std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        notifier_.reset();
        const auto failed = stored(event_kind::kNotifyFailed);
        ASSERT_EQ(failed.size(), 1u) << c.mode;
        EXPECT_NE(failed[0].detail.find(std::string("\"reason\":\"") + c.reason + "\""), std::string::npos)
            << failed[0].detail;
        EXPECT_NE(failed[0].detail.find("\"attempts\":3"), std::string::npos);
        EXPECT_EQ(told().size(), static_cast<std::size_t>(c.runs_told)) << c.mode;
        // The hung command's group was killed: its 30 s sleep held nothing up.
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(6)) << c.mode;
        // Given up on is dealt with: the next start does not run it again.
        start(n);
        notifier_.reset();
        EXPECT_EQ(stored(event_kind::kNotifyFailed).size(), 1u) << c.mode;
        fresh_store();
    }
}

TEST_F(NotifyTest, AStopInTheMiddleOfABurstTellsEachEventExactlyOnce)
{
    start(notify("ok", "0.1"), 0);
    for (int i = 0; i < 8; ++i) write({"crac-1", kT + i, event_kind::kControl, control_detail(i, "", 0, "http")});
    wait_told(3);
    notifier_.reset();  // kills the run in hand: it has written nothing and is not marked
    start(notify("ok", "0"));
    const std::vector<Block> blocks = wait_told(8);
    notifier_.reset();
    std::vector<std::string> seqs;
    for (const Block& b : blocks) seqs.push_back(of(b, "QM_SEQ"));
    EXPECT_EQ(seqs, (std::vector<std::string>{"2", "3", "4", "5", "6", "7", "8", "9"}));
}

TEST_F(NotifyTest, AFlapWithinItsHoldOffTellsNothing)
{
    NotifySettings n = notify("ok");
    n.hold_ms = {{event_kind::kUnitLost, 60000}, {event_kind::kAlarmRaised, 30000}};
    const int64_t now = utc_now_ms();
    const Json::Value high = alarm_detail(37, "a", "b", "high", 2);
    const Json::Value low = alarm_detail(38, "c", "d", "low", 1);
    // Stored before the notifier reads them (at once, as they are long past their hold-off), after its mark.
    store_->set_notified_mark(1);
    write({"crac-1", now - 300000, event_kind::kUnitLost, unit_lost_detail(3, "timeout")});  // flap
    write({"crac-1", now - 290000, event_kind::kUnitBack, unit_back_detail(3)});
    write({"crac-1", now - 200000, event_kind::kAlarmRaised, high});                         // stood 50 s
    write({"crac-1", now - 190000, event_kind::kAlarmRaised, low});                          // flap
    write({"crac-1", now - 185000, event_kind::kAlarmCleared, low});
    write({"crac-1", now - 150000, event_kind::kAlarmCleared, high});
    write({"crac-2", now - 100000, event_kind::kUnitLost, unit_lost_detail(3, "timeout")});  // stood 80 s
    write({"crac-2", now - 20000, event_kind::kUnitBack, unit_back_detail(9)});
    write({"crac-1", now, event_kind::kUnitLost, unit_lost_detail(3, "timeout")});           // held now
    start(n);
    const std::vector<Block> blocks = wait_told(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    notifier_.reset();
    std::vector<std::string> what;
    for (const Block& b : told()) what.push_back(of(b, "QM_UNIT") + " " + of(b, "QM_EVENT") + " " + of(b, "QM_ALARM_NAME"));
    EXPECT_EQ(what, (std::vector<std::string>{"crac-1 alarm_raised high", "crac-1 alarm_cleared high",
                                              "crac-2 unit_lost ", "crac-2 unit_back "}));
}

}  // namespace
