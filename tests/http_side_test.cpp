// The agent's HTTP side below the server: numbers written from the unit's
// integers, a record's shown values and alarms read from its cells, the
// metrics' shape and their staleness rule, the "http" member's refusals,
// a control's body refused by the check it fails, and the control queue's
// bounds. The server itself is tested with real
// clients (tests/e2e/test_http.py).
#include "agent/control_queue.hpp"
#include "agent/control_request.hpp"
#include "agent/decimal_text.hpp"
#include "agent/http_settings.hpp"
#include "agent/line_poller.hpp"
#include "agent/metrics.hpp"
#include "agent/process_metrics.hpp"
#include "agent/status_json.hpp"
#include "agent/unit_values.hpp"
#include "driver/catalogues/point_catalogue.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <ctime>

namespace {

TEST(DecimalText, WritesTheUnitsIntegersExactly)
{
    const struct {
        int64_t value;
        int decimals;
        const char* fixed;
        const char* shortest;
    } cases[] = {
        {312, 1, "31.2", "31.2"},     {240, 1, "24.0", "24"},     {-5, 1, "-0.5", "-0.5"},
        {480, 3, "0.480", "0.48"},    {1000, 3, "1.000", "1"},    {7, 0, "7", "7"},
        {0, 3, "0.000", "0"},         {-1000, 3, "-1.000", "-1"}, {1796729737780, 3, "1796729737.780", "1796729737.78"},
        {INT64_MIN, 1, "-922337203685477580.8", "-922337203685477580.8"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(agent::decimal_text(c.value, c.decimals), c.fixed) << c.value;
        EXPECT_EQ(agent::shortest_decimal_text(c.value, c.decimals), c.shortest) << c.value;
    }
}

// Offsets in the 459-byte record, from its layout: registers 1500..1503
// (supply and return air) at 44, register 11 at 256, register 1 at 258,
// coil 276 (on/off) at 262, alarm coils 0.. at 56.
std::vector<unsigned char> record_with(std::initializer_list<std::pair<std::size_t, uint16_t>> registers,
                                       std::initializer_list<std::size_t> set_bytes)
{
    std::vector<unsigned char> record(459, 0);
    for (const auto& [offset, value] : registers) {
        record[offset] = static_cast<unsigned char>(value & 0xFF);
        record[offset + 1] = static_cast<unsigned char>(value >> 8);
    }
    for (std::size_t offset : set_bytes) record[offset] = 1;
    return record;
}

TEST(RecordValues, ReadFromTheRecordsCells)
{
    const auto record = record_with({{44, 180}, {46, 550}, {48, 312}, {50, 480}, {256, 250}, {258, 65535}},
                                    {262, 56 + 37, 56 + 5});
    const agent::RecordValues values = agent::read_record_values(record);
    EXPECT_EQ(values.values[agent::kReturnTemperature].text, "31.2");
    EXPECT_EQ(values.values[agent::kReturnHumidity].text, "48.0");
    EXPECT_EQ(values.values[agent::kSupplyTemperature].text, "18.0");
    EXPECT_EQ(values.values[agent::kTemperatureSetpoint].text, "25.0");
    EXPECT_EQ(values.values[agent::kHumiditySetpoint].text, "6553.5");  // unsigned, as the driver converts it
    EXPECT_STREQ(values.values[agent::kUnitState].word, "on");
    EXPECT_EQ(values.values[agent::kUnitState].text, "开机");
    EXPECT_EQ(values.active_alarms, (std::vector<int>{5, 37}));
    EXPECT_STREQ(agent::alarm_name(37), "回风高温告警");
    EXPECT_EQ(agent::json_text(agent::values_json(values)["air.return.temperature"]), "31.2");
    EXPECT_THROW(agent::read_record_values(std::vector<unsigned char>(458)), std::invalid_argument);
}

// Each kind of value as the record holds it, as JSON, as text and in the
// metrics: registers at their offsets in the 459-byte record.
TEST(RecordValues, EachKindWrittenFromTheRecordsIntegers)
{
    std::vector<unsigned char> record(459, 0);
    const auto set = [&record](const char* member, uint16_t value, bool high = false) {
        for (const ReportPoint& point : kPointCatalogue)
            if (std::string(point.member) == member) {
                const std::size_t at = (high ? point.source2 : point.source).offset;
                record[at] = static_cast<unsigned char>(value & 0xFF);
                record[at + 1] = static_cast<unsigned char>(value >> 8);
            }
    };
    set("2#吸气温度", 1234);        // tenths
    set("1#压缩机运行时间", 4);     // hours
    set("有功总电量", 34);          // kWh, its low register
    set("有功总电量", 1, true);     // its high register, x 100
    set("1#压缩机工作状态", 4);     // a state
    set("2#压缩机工作状态", 15);    // past its table
    const agent::RecordValues values = agent::read_record_values(record);
    const Json::Value json = agent::values_json(values);
    const struct {
        const char* key;
        const char* json;
        const char* text;
        const char* metric;
    } cases[] = {
        {"compressor.2.suction.temperature", "123.4", "123.4", "qm_unit_value_celsius{site=\"s\",unit=\"u\",key=\"compressor.2.suction.temperature\"} 123.4"},
        {"runtime.compressor.1", "4", "4", "qm_unit_value_seconds{site=\"s\",unit=\"u\",key=\"runtime.compressor.1\"} 14400"},
        {"mains.energy", "134", "134", "qm_unit_value_joules{site=\"s\",unit=\"u\",key=\"mains.energy\"} 482400000"},
        {"compressor.1.state", "\"oil return\"", "oil return", "qm_unit_value_state{site=\"s\",unit=\"u\",key=\"compressor.1.state\",state=\"oil return\"} 4"},
        {"compressor.2.state", "\"invalid\"", "invalid", "qm_unit_value_state{site=\"s\",unit=\"u\",key=\"compressor.2.state\",state=\"invalid\"} 15"},
        {"air.return.humidity", "0.0", "0.0", "qm_unit_value_ratio{site=\"s\",unit=\"u\",key=\"air.return.humidity\"} 0"},
    };
    agent::UnitSnapshot unit;
    unit.name = "u";
    unit.interval_s = 1;
    unit.record = record;
    unit.record_ms = 1000;
    const std::string metrics = agent::render_metrics("s", {unit}, 1000, {}, {false, agent::all_shown_keys()});
    for (const auto& c : cases) {
        const std::size_t place = *agent::shown_key_place(c.key);
        EXPECT_EQ(agent::json_text(json[c.key]), c.json) << c.key;
        EXPECT_EQ(agent::value_text(values.values[place]), c.text) << c.key;
        EXPECT_NE(metrics.find(std::string(c.metric) + "\n"), std::string::npos) << c.metric;
    }
    // Only the keys a unit publishes, in the JSON and the metrics.
    unit.keys.reset().set(agent::kUnitMode);
    EXPECT_EQ(agent::values_json(values, unit.keys).getMemberNames(), std::vector<std::string>{"unit.mode"});
    const std::string fewer = agent::render_metrics("s", {unit}, 1000, {}, {false, agent::all_shown_keys()});
    EXPECT_EQ(fewer.find("key=\"runtime.compressor.1\""), std::string::npos);
    EXPECT_NE(fewer.find("key=\"unit.mode\",state=\"standby\"} 0\n"), std::string::npos);
    EXPECT_FALSE(agent::shown_key_place("更新时间"));
    // Listed keys are those both the unit and the metrics name; none by default.
    unit.keys.set(agent::kUnitRun);
    agent::MetricsShown listed;
    EXPECT_EQ(agent::render_metrics("s", {unit}, 1000, {}, listed).find("qm_unit_value_state{"), std::string::npos);
    listed.values.set(agent::kUnitRun).set(*agent::shown_key_place("runtime.compressor.1"));
    const std::string chosen = agent::render_metrics("s", {unit}, 1000, {}, listed);
    EXPECT_NE(chosen.find("key=\"unit.run\""), std::string::npos);
    EXPECT_EQ(chosen.find("key=\"unit.mode\""), std::string::npos);
    EXPECT_EQ(chosen.find("key=\"runtime.compressor.1\""), std::string::npos);
}

TEST(RecordValues, AlarmCodesFollowTheUnitsMode)
{
    Json::Value settings;
    EXPECT_EQ(agent::alarm_code_mode(settings), 1);
    settings["appSetting"]["b_mode"] = "2";
    EXPECT_EQ(agent::alarm_code_mode(settings), 2);
    EXPECT_STREQ(agent::alarm_code(37, 2), "120830170320");
    EXPECT_STREQ(agent::alarm_code(37, 1), "602400101023");
}

agent::UnitSnapshot unit_named(const std::string& name, int64_t record_ms)
{
    agent::UnitSnapshot unit;
    unit.name = name;
    unit.interval_s = 1;
    unit.record = record_with({{48, 231}}, {56 + 3});
    unit.record_ms = record_ms;
    unit.cycles = 5;
    unit.last_cycle_us = 12500;
    return unit;
}

TEST(Metrics, EachFamilyOnceAndAStaleUnitWithoutValues)
{
    const int64_t now = 1'000'000;
    // "old" last answered 3.5 intervals ago; a unit name with a quote is escaped.
    const std::string text = agent::render_metrics(
        "room\"1", {unit_named("fresh", now - 2900), unit_named("old", now - 3500)}, now,
        [](std::string& out) { out += "# TYPE qm_agent_broker_connected gauge\nqm_agent_broker_connected 1\n"; });
    std::istringstream lines(text);
    // The format wants each family's samples together, after its one TYPE line.
    std::set<std::string> typed;
    std::string line, open;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0) {
            open = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(typed.insert(open).second) << "TYPE twice: " << open;
        } else if (line.rfind('#', 0) != 0) {
            EXPECT_EQ(line.substr(0, line.find_first_of("{ ")), open) << "a sample outside its family: " << line;
        }
    }
    EXPECT_NE(text.find("qm_unit_up{site=\"room\\\"1\",unit=\"fresh\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("qm_unit_up{site=\"room\\\"1\",unit=\"old\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("unit=\"fresh\",sensor=\"return\"} 23.1\n"), std::string::npos);
    EXPECT_EQ(std::regex_search(text, std::regex("qm_unit_(air|temperature|humidity|running|alarm)\\S*unit=\"old\"")),
              false);
    EXPECT_NE(text.find("qm_unit_last_record_timestamp_seconds{site=\"room\\\"1\",unit=\"old\"} 996.5\n"),
              std::string::npos);
    EXPECT_NE(text.find("qm_unit_poll_duration_seconds{site=\"room\\\"1\",unit=\"fresh\"} 0.0125\n"), std::string::npos);
    // Alarm points: the active one alone by default, each of the 180 when asked.
    for (const bool all : {false, true}) {
        const std::string alarms = agent::render_metrics("s", {unit_named("fresh", now), unit_named("old", now - 3500)},
                                                         now, {}, {all, {}});
        std::ptrdiff_t alarm_lines = 0, active = 0;
        for (std::size_t at = 0; (at = alarms.find("\nqm_unit_alarm_active{", at)) != std::string::npos; ++at) {
            ++alarm_lines;
            if (alarms.compare(alarms.find('}', at), 4, "} 1\n") == 0) ++active;
        }
        EXPECT_EQ(alarm_lines, all ? 180 : 1) << all;
        EXPECT_EQ(active, 1) << all;
        EXPECT_NE(alarms.find("qm_unit_alarms_active{site=\"s\",unit=\"fresh\"} 1\n"), std::string::npos);
    }
    EXPECT_EQ(text.substr(text.size() - 28), "qm_agent_broker_connected 1\n");
    // Where a unit is stays told while it is down.
    EXPECT_NE(text.find("qm_unit_info{site=\"room\\\"1\",unit=\"old\",line=\"0\",slave=\"0\",device_id=\"0\"} 1\n"),
              std::string::npos);
}

double process_sample(const std::string& name)
{
    std::string text;
    agent::render_process_metrics(text);
    std::smatch found;
    if (!std::regex_search(text, found, std::regex("\n" + name + " ([0-9.]+)\n"))) return -1;
    return std::stod(found[1]);
}

TEST(Metrics, TheProcessAsTheKernelSeesIt)
{
    const double open_before = process_sample("process_open_fds");
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    EXPECT_EQ(process_sample("process_open_fds"), open_before + 2);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    EXPECT_GT(process_sample("process_max_fds"), open_before);
    const double now = static_cast<double>(std::time(nullptr));
    // Started by this test run, to the boot time's whole second.
    EXPECT_LE(process_sample("process_start_time_seconds"), now + 1);
    EXPECT_GT(process_sample("process_start_time_seconds"), now - 600);
    EXPECT_GT(process_sample("process_resident_memory_bytes"), 1 << 20);
    EXPECT_GE(process_sample("process_virtual_memory_bytes"), process_sample("process_resident_memory_bytes"));
    EXPECT_GE(process_sample("process_cpu_seconds_total"), 0);
}

TEST(HttpSettings, RefusalsNameTheMember)
{
    const struct {
        const char* member;
        const char* refusal;
    } cases[] = {
        {R"({"listen": "127.0.0.1:0"})", "http.listen: \"127.0.0.1:0\" is not ADDRESS:PORT"},
        {R"({"listen": "example.org:80"})", "http.listen: \"example.org:80\" is not ADDRESS:PORT"},
        {R"({"listen": "1.2.3.256:80"})", "http.listen: \"1.2.3.256:80\" is not"},
        {R"({"listen": 8470})", "http.listen: 8470 is not ADDRESS:PORT"},
        {R"({"port": 8470})", "http.port: unknown member (known here: listen, control_token_file, hosts, tls, metrics_alarms, metrics_values)"},
        {R"({"listen": "[::1:80"})", "http.listen: \"[::1:80\" is not ADDRESS:PORT"},
        {R"({"listen": "::1:80"})", "http.listen: \"::1:80\" is not ADDRESS:PORT"},
        {R"({"listen": "0.0.0.0:80", "control_token_file": "t"})", "http.tls: is needed"},
        {R"({"listen": "[::]:80", "control_token_file": "t"})", "http.tls: is needed"},
        {R"({"tls": {"certificate": "c.pem"}})", "http.tls: needs both certificate and key"},
        {R"({"hosts": ["ok.example", "bad/name"]})", "http.hosts[1]: is not a host name"},
        {R"({"control_token_file": ""})", "http.control_token_file: is not a file path"},
        {R"([])", "http: is not an object"},
        {R"({"metrics_alarms": "some"})", "http.metrics_alarms: \"some\" is not \"active\" or \"all\""},
        {R"({"metrics_alarms": true})", "http.metrics_alarms: true is not"},
        {R"({"metrics_values": "all"})", "http.metrics_values: \"all\" is not \"none\", \"keys\""},
        {R"({"metrics_values": ["unit.run", "unit.nothing"]})", "http.metrics_values[1]: \"unit.nothing\" is not a value key"},
    };
    for (const auto& c : cases) {
        Json::Value member;
        std::istringstream(c.member) >> member;
        try {
            agent::check_http(member, "http", "/etc/qmhost");
            ADD_FAILURE() << c.member << " was taken";
        } catch (const agent::SiteFileError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.refusal, 0), 0u) << e.what();
        }
    }
    Json::Value member;
    std::istringstream(R"({"listen": "0.0.0.0:9000", "control_token_file": "token",
                           "tls": {"certificate": "c.pem", "key": "/k.pem"}})") >> member;
    const agent::HttpSettings settings = agent::check_http(member, "http", "/etc/qmhost");
    EXPECT_EQ(settings.address, "0.0.0.0");
    EXPECT_EQ(settings.port, 9000);
    EXPECT_EQ(settings.control_token_file, "/etc/qmhost/token");
    EXPECT_EQ(settings.tls_certificate, "/etc/qmhost/c.pem");
    std::istringstream(R"({"listen": "[::1]:9000", "control_token_file": "token"})") >> member;
    EXPECT_EQ(agent::check_http(member, "http", "/etc/qmhost").address, "[::1]");
    EXPECT_FALSE(agent::check_http(member, "http", "/etc/qmhost").metrics_all_alarms);
    EXPECT_TRUE(agent::check_http(member, "http", "/etc/qmhost").metrics_values.none());
    std::istringstream(R"({"metrics_alarms": "all", "metrics_values": "keys"})") >> member;
    EXPECT_TRUE(agent::check_http(member, "http", "/etc/qmhost").metrics_all_alarms);
    EXPECT_TRUE(agent::check_http(member, "http", "/etc/qmhost").metrics_values.all());
}

// The control API runs the command line's checks: each body either reaches
// the queue with the bytes the driver gets, or is refused by the check named.
TEST(ControlBody, RefusedByTheCheckItFails)
{
    const auto text = [](const std::string& t) {
        return agent::control_input_hex(std::vector<unsigned char>(t.begin(), t.end()));
    };
    const std::string setpoint310 = R"({"signal_id":"150800310010","SetValue":%s})";
    const auto with = [&](const char* value) {
        std::string t = setpoint310;
        return t.replace(t.find("%s"), 2, value);
    };
    const struct {
        std::string body;
        const char* check;  // nullptr: accepted
        std::vector<unsigned char> input;
    } cases[] = {
        {R"({"code": 106, "input": "6300"})", "setpoint range", {}},  // 99 °C
        {R"({"code": 106, "input": "ffff"})", "setpoint range", {}},
        {R"({"code": 106, "input": "ffff", "force": true})", "setpoint range", {}},  // past the register's tenfold
        {R"({"code": 106, "input": "6300", "force": true})", nullptr, {0x63, 0x00}},
        {R"({"code": 106, "input": "1600", "by": "ops@host"})", nullptr, {0x16, 0x00}},
        {R"({"code": 110, "input": "5f00"})", "setpoint range", {}},  // 95 %RH
        {R"({"code": 106, "input": "0e00"})", "setpoint range", {}},  // 14 °C
        {R"({"code": 106, "input": "16"})", "input", {}},
        {R"({"code": 106})", "input", {}},
        {R"({"code": 206, "input": "0b00"})", "input", {}},
        {R"({"code": 210, "input": "0b001900ff"})", "input", {}},
        {R"({"code": 210, "input": "0b0019001a00"})", nullptr, {0x0b, 0, 0x19, 0, 0x1a, 0}},
        {R"({"code": 999})", "known code", {}},
        {R"({"code": 801})", "known code", {}},
        {R"({"code": 310, "input": ")" + text(with("\"99\"")) + "\"}", "setpoint range", {}},
        {R"({"code": 310, "input": ")" + text(with("24.5")) + "\"}", "whole number", {}},
        {R"({"code": 310, "input": ")" + text(with("\"abc\"")) + "\"}", "whole number", {}},
        {R"({"code": 100})", nullptr, {}},
        {R"({"code": "106", "input": "1600"})", "body", {}},
        {R"({"code": 106, "input": "zz00"})", "body", {}},
        {R"({"code": 106, "input": "6300", "force": "yes"})", "body", {}},
        {R"({"code": 106, "input": "6300", "Force": true})", "body", {}},
        {R"({"code": 100, "code": 106})", "body", {}},
        {R"([100])", "body", {}},
        {std::string(2000, '[') + std::string(2000, ']'), "body", {}},
        {R"({"code": 100, "by": "a\u0001b"})", "by", {}},
    };
    for (const auto& c : cases) {
        agent::ControlRequest request;
        std::string by;
        const auto refusal = agent::read_control_body(c.body, request, by);
        const std::string shown = c.body.substr(0, 80);
        if (!c.check) {
            EXPECT_FALSE(refusal) << shown << ": " << refusal->why;
            EXPECT_EQ(request.input, c.input) << shown;
            continue;
        }
        ASSERT_TRUE(refusal) << shown;
        EXPECT_EQ(refusal->check, c.check) << shown << ": " << refusal->why;
    }
    agent::ControlRequest request;
    std::string by;
    EXPECT_EQ(agent::read_control_body(R"({"code": 106, "input": "6300"})", request, by)->why,
              "return-air temperature setpoint 99 °C is outside 15 to 35 °C (\"force\": true allows 0 to 6553); "
              "nothing sent");
}

TEST(ControlQueue, AnswersWhatItCannotRunAndRunsTheRestInTurn)
{
    using Clock = agent::ControlQueue::Clock;
    agent::ControlQueue queue;
    // Nobody takes it: answered TimedOut and never run after.
    const agent::ControlAnswer late = queue.submit(0, {}, Clock::now() + std::chrono::milliseconds(20));
    EXPECT_EQ(late.kind, agent::ControlAnswer::Kind::TimedOut);
    int runs = 0;
    queue.run_waiting([&](std::size_t, const agent::ControlRequest&) { return ++runs, agent::ControlAnswer{}; });
    EXPECT_EQ(runs, 0);

    std::thread poller([&] {
        while (!queue.wait_until(Clock::now() + std::chrono::seconds(5), [] { return false; })) {
        }
        queue.run_waiting([](std::size_t unit, const agent::ControlRequest& r) {
            agent::ControlAnswer answer;
            answer.exit_status = static_cast<int>(unit) + r.code;
            return answer;
        });
    });
    agent::ControlRequest request;
    request.code = 100;
    EXPECT_EQ(queue.submit(2, request, Clock::now() + std::chrono::seconds(5)).exit_status, 102);
    poller.join();
    queue.close();
    EXPECT_EQ(queue.submit(0, request, Clock::now() + std::chrono::seconds(5)).kind,
              agent::ControlAnswer::Kind::Stopping);
}

// A line's thread sleeps between cycles to its next start, however far: a
// stop must wake it there, and one forgotten waker must not be called.
TEST(ControlQueue, AStopWakesAPollerWaitingForItsNextCycle)
{
    using Clock = agent::ControlQueue::Clock;
    agent::StopRequest stop;
    agent::ControlQueue queue;
    stop.on_request([&] { queue.wake(); });
    const auto forgotten = stop.on_request([] { ADD_FAILURE() << "a forgotten waker was called"; });
    stop.forget(forgotten);
    const auto started = Clock::now();
    std::thread poller([&] { queue.wait_until(started + std::chrono::minutes(10), [&] { return stop.requested(); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request();
    poller.join();
    EXPECT_LT(Clock::now() - started, std::chrono::minutes(1));
}

}  // namespace
