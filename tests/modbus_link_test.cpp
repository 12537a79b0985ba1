// The stand-in host's Modbus master against a real libmodbus slave on
// loopback: answers reach the driver through process()/process_payload.
#include "host/libmodbus_link.hpp"
#include "support/driver_harness.hpp"
#include "tools/sim/rtu_crc.hpp"
#include "tools/sim/unit_server.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

// The simulated unit serving a loopback port from a thread of the test;
// restart() brings it back on the same port, as a unit that reboots.
class ServedUnit {
public:
    ServedUnit() { start(0); }
    ~ServedUnit() { stop(); }

    int port() const { return port_; }
    UnitServer& unit() { return *unit_; }
    void restart()
    {
        stop();
        start(port_);
    }

private:
    void start(int port)
    {
        unit_ = std::make_unique<UnitServer>();
        for (int a = 0; a < 3000; ++a) unit_->set_register(a, static_cast<uint16_t>(a * 3 + 1));
        unit_->set_coil(276, true);
        port_ = unit_->listen_tcp("127.0.0.1", port);
        stopping_ = false;
        thread_ = std::thread([this] { unit_->serve(stopping_); });
    }
    void stop()
    {
        stopping_ = true;
        thread_.join();
        unit_.reset();
    }

    std::unique_ptr<UnitServer> unit_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    int port_ = 0;
};

class ModbusLinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        LinkSettings settings;
        settings.port = slave.port();
        settings.timeout_ms = 300;
        Json::Value config;
        config["link"] = link_settings_json(settings);
        ASSERT_EQ(h.driver.SPModbus::InitSetting(config), 0);
    }

    ServedUnit slave;
    DriverHarness h;
};

TEST_F(ModbusLinkTest, ACycleOverTcpFillsTheRecord)
{
    captured_stdout([&] { h.run_cycle(); });
    ASSERT_EQ(h.sink.published.size(), 1u) << h.driver.last_error();
    EXPECT_EQ(h.driver.data().regs_700[3].value(), 703 * 3 + 1);
    EXPECT_EQ(h.driver.data().regs_261[5].value(), 266 * 3 + 1);
    EXPECT_EQ(h.driver.data().bits_276, 1);
    EXPECT_EQ(slave.unit().requests(), 45);
}

TEST_F(ModbusLinkTest, WriteAnswersAreTheUnitsEcho)
{
    const uint16_t value = 250;
    const uint16_t values[] = {11, 12, 13};
    h.driver.modbus_write_register(11, value);
    ASSERT_EQ(h.driver.process(), 1) << h.driver.last_error();
    EXPECT_EQ(h.driver.register_table()[0], 250);
    EXPECT_EQ(slave.unit().reg(11), 250);

    h.driver.modbus_write_bit(276, 0);
    ASSERT_EQ(h.driver.process(), 1);
    EXPECT_EQ(h.driver.register_table()[0], 0);

    h.driver.modbus_write_registers(704, 3, values);
    ASSERT_EQ(h.driver.process(), 1);
    EXPECT_EQ(h.driver.register_table()[0], 16);
    EXPECT_EQ(h.driver.register_table()[1], 3);

    UnitFaults wrong_echo;
    wrong_echo.wrong_echo = true;
    slave.unit().set_faults(wrong_echo);
    h.driver.modbus_write_register(1, 500);
    ASSERT_EQ(h.driver.process(), 1);
    EXPECT_EQ(h.driver.register_table()[0], 501) << "the echo as sent, not as asked";
}

TEST_F(ModbusLinkTest, ALinkThatDropsIsReopenedAtTheNextRequest)
{
    h.driver.modbus_read_registers(700, 2);
    ASSERT_EQ(h.driver.process(), 1);
    slave.restart();
    int failures = 0;
    std::string out = captured_stdout([&] {
        for (int attempt = 0; attempt < 3; ++attempt) {
            h.driver.modbus_read_registers(700, 2);
            if (h.driver.process() == 1) break;
            ++failures;
        }
    });
    EXPECT_LE(failures, 1) << h.driver.last_error();
    EXPECT_EQ(h.driver.register_table()[1], 701 * 3 + 1);
}

TEST(ModbusLinkErrors, ARefusedLinkReachesOnErrorWithItsAddress)
{
    DriverHarness h;
    Json::Value config;
    config["link"]["type"] = "tcp";
    config["link"]["port"] = 1;  // nothing listens there
    ASSERT_EQ(h.driver.SPModbus::InitSetting(config), 0);
    h.driver.modbus_read_registers(700, 1);
    const std::string out = captured_stdout([&] { EXPECT_EQ(h.driver.process(), -1); });
    EXPECT_EQ(out, "SPModbus get error\n");
    EXPECT_NE(h.driver.last_error().find("127.0.0.1:1"), std::string::npos) << h.driver.last_error();
    EXPECT_FALSE(h.driver.IsProcessing()) << "a failed request is dropped";
}

// The host decides on a failure's kind (a unit that refuses one read every
// cycle lacks it; one that never answers is lost), so each way a request
// fails must arrive as its own kind, with the request it was.
TEST(ModbusLinkErrors, EachWayARequestFailsHasItsKind)
{
    using Kind = LinkFailure::Kind;
    ServedUnit served;
    UnitFaults exception, silent, truncated;
    exception.exception_address = 701;
    silent.silent_after = 0;
    truncated.truncated = true;
    const struct {
        const char* what;
        UnitFaults faults;
        int port;  // 0: the served unit's
        bool stop;
        Kind kind;
        int exception_code;
        const char* request;
    } cases[] = {
        {"an exception answer", exception, 0, false, Kind::Exception, 2, "read registers at 700 to 703"},
        {"no answer", silent, 0, false, Kind::NoAnswer, 0, "read registers at 700 to 703"},
        {"an answer cut short", truncated, 0, false, Kind::Garbled, 0, "read registers at 700 to 703"},
        {"a stop while waiting", silent, 0, true, Kind::Stopped, 0, "read registers at 700 to 703"},
        {"a closed port", UnitFaults{}, 1, false, Kind::LineDown, 0, ""},
    };
    for (const auto& c : cases) {
        served.unit().set_faults(c.faults);
        set_link_stop_check(c.stop ? std::function<bool()>([] { return true; }) : std::function<bool()>());
        LinkSettings settings;
        settings.port = c.port ? c.port : served.port();
        settings.timeout_ms = 200;
        const auto link = make_libmodbus_link(settings);
        uint16_t registers[4] = {};
        EXPECT_FALSE(link->read_registers(700, 4, registers)) << c.what;
        const LinkFailure& failure = link->failure();
        EXPECT_EQ(failure.kind, c.kind) << c.what << ": " << failure.text();
        EXPECT_EQ(failure.exception_code, c.exception_code) << c.what;
        EXPECT_EQ(failure.request, c.request) << c.what;
    }
    set_link_stop_check({});
}

// A listening socket on a free loopback port, its address in `where`.
int loopback_listener(int backlog, sockaddr_in& where)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    where = sockaddr_in{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    return fd;
}

// A TCP unit that answers each request with one frame the case shapes from
// a right one; the answer is framed by its header and matched to its request.
TEST(ModbusLinkErrors, ATcpAnswerIsTakenOnlyWhenItsHeaderFramesIt)
{
    using Kind = LinkFailure::Kind;
    using Frame = std::vector<uint8_t>;
    const struct {
        const char* what;
        std::function<void(Frame&)> shape;
        Kind kind;  // Kind::None: taken
    } cases[] = {
        {"a right answer", [](Frame&) {}, Kind::None},
        {"another transaction's", [](Frame& f) { f[1] ^= 0x55; }, Kind::Garbled},
        {"a protocol other than 0", [](Frame& f) { f[3] = 1; }, Kind::Garbled},
        {"a header longer than the frame", [](Frame& f) { ++f[5]; }, Kind::Garbled},
        {"a second frame behind it", [](Frame& f) { f.insert(f.end(), f.begin(), f.end()); }, Kind::Garbled},
        {"a header shorter than the frame", [](Frame& f) { --f[5]; }, Kind::Garbled},
    };
    sockaddr_in where{};
    const int listener = loopback_listener(4, where);
    ASSERT_GE(listener, 0);
    const timeval bound{2, 0};  // a link that never asks must not hold the test
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    LinkSettings settings;
    settings.port = ntohs(where.sin_port);
    settings.timeout_ms = 200;
    const auto link = make_libmodbus_link(settings);
    int connection = -1;
    for (const auto& c : cases) {
        // One request a case: read 1 register, answered with the value 0x1234.
        std::thread unit([&] {
            if (connection < 0) connection = ::accept(listener, nullptr, nullptr);
            ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
            uint8_t request[12];
            if (::recv(connection, request, sizeof request, MSG_WAITALL) != sizeof request) return;
            Frame frame = {request[0], request[1], 0, 0, 0, 5, request[6], 3, 2, 0x12, 0x34};
            c.shape(frame);
            ::send(connection, frame.data(), frame.size(), MSG_NOSIGNAL);
        });
        uint16_t value = 0;
        const bool taken = link->read_registers(10, 1, &value);
        unit.join();
        EXPECT_EQ(taken, c.kind == Kind::None) << c.what << ": " << link->failure().text();
        if (taken) EXPECT_EQ(value, 0x1234) << c.what;
        else EXPECT_EQ(link->failure().kind, c.kind) << c.what << ": " << link->failure().text();
        if (!taken) {  // the link has closed its connection: the next case gets a new one
            ::close(connection);
            connection = -1;
        }
    }
    ::close(connection);
    ::close(listener);
}

// A unit's address that takes no connection (a loopback port whose backlog
// is full: its SYNs go unanswered) holds the connect for the whole timeout
// unless the stop check is asked meanwhile; a stop must end it as a stop.
TEST(ModbusLinkErrors, AStopEndsAConnectThatGetsNoAnswer)
{
    sockaddr_in where{};
    const int hole = loopback_listener(0, where);
    ASSERT_GE(hole, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        (void)::connect(fillers.back(), reinterpret_cast<sockaddr*>(&where), sizeof where);
    }
    const auto asked = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    set_link_stop_check([asked] { return std::chrono::steady_clock::now() > asked; });
    LinkSettings settings;
    settings.port = ntohs(where.sin_port);
    settings.timeout_ms = 5000;
    const auto link = make_libmodbus_link(settings);
    uint16_t registers[4] = {};
    EXPECT_FALSE(link->read_registers(700, 4, registers));
    EXPECT_EQ(link->failure().kind, LinkFailure::Kind::Stopped) << link->failure().text();
    set_link_stop_check({});
    for (int fd : fillers) ::close(fd);
    ::close(hole);
}

TEST(ModbusLinkErrors, BadLinkSettingsAreRefusedByName)
{
    DriverHarness h;
    Json::Value config;
    config["link"]["type"] = "rtu";
    EXPECT_EQ(h.driver.SPModbus::InitSetting(config), -1);
    EXPECT_NE(h.driver.last_error().find("device"), std::string::npos);
    config["link"]["device"] = "/dev/null";
    config["link"]["parity"] = "X";
    EXPECT_EQ(h.driver.SPModbus::InitSetting(config), -1);
    EXPECT_NE(h.driver.last_error().find("parity"), std::string::npos);
}

TEST(ModbusLinkSettings, TimeoutAndGuardHaveBounds)
{
    const struct {
        const char* json;
        bool accepted;
        int guard_ms;  // in effect
    } cases[] = {
        {R"({"timeout_ms": 200})", true, 400},
        {R"({"timeout_ms": 5})", true, 20},
        {R"({"timeout_ms": 200, "guard_ms": 0})", true, 0},
        {R"({"timeout_ms": 10000, "guard_ms": 10000})", true, 10000},
        {R"({"timeout_ms": 10001})", false, 0},
        {R"({"guard_ms": 10001})", false, 0},
        {R"({"guard_ms": -2})", false, 0},
    };
    for (const auto& c : cases) {
        Json::Value link;
        ASSERT_TRUE(Json::Reader().parse(c.json, link));
        if (!c.accepted) {
            EXPECT_THROW(parse_link_settings(link), std::invalid_argument) << c.json;
            continue;
        }
        const LinkSettings parsed = parse_link_settings(link);
        EXPECT_EQ(parsed.effective_guard_ms(), c.guard_ms) << c.json;
        EXPECT_EQ(parse_link_settings(link_settings_json(parsed)).effective_guard_ms(), c.guard_ms) << c.json;
    }
}

TEST(ModbusLinkSettings, TheFrameGapIsThreeAndAHalfCharactersOfTheLinesFraming)
{
    const struct {
        int baud;
        char parity;
        int data_bits;
        int stop_bits;
        int silence_us;
    } cases[] = {
        {9600, 'E', 8, 1, 4011},  // 11-bit characters
        {9600, 'N', 8, 2, 4011},
        {9600, 'N', 8, 1, 3646},  // 10-bit characters
        {9600, 'E', 7, 1, 3646},
        {1200, 'N', 8, 1, 29167},
        {19200, 'N', 8, 1, 1823},
        {19200, 'N', 7, 1, 1641},  // 19,200 baud is not above: its own 3.5 characters
        {38400, 'E', 8, 1, 1750},  // the fixed gap above 19,200 baud
        {115200, 'N', 8, 1, 1750},
    };
    for (const auto& c : cases) {
        LinkSettings line;
        line.baud = c.baud;
        line.parity = c.parity;
        line.data_bits = c.data_bits;
        line.stop_bits = c.stop_bits;
        EXPECT_EQ(line.frame_silence_us(), c.silence_us) << line.framing_text();
    }
}

// The unit's end of a pseudo-terminal: answers each one-register read with
// the request's number; the first answer goes out a second time, 2 ms late.
void answer_reads_with_a_late_copy(int unit_end, uint16_t reads)
{
    for (uint16_t n = 1; n <= reads; ++n) {
        uint8_t request[8];
        for (std::size_t got = 0; got < sizeof request;) {
            pollfd end{unit_end, POLLIN, 0};
            if (::poll(&end, 1, 2000) <= 0) return;
            const ssize_t r = ::read(unit_end, request + got, sizeof request - got);
            if (r <= 0) return;
            got += static_cast<std::size_t>(r);
        }
        uint8_t answer[7] = {request[0], request[1], 2, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        const uint16_t crc = rtu_crc16(answer, 5);
        answer[5] = static_cast<uint8_t>(crc);
        answer[6] = static_cast<uint8_t>(crc >> 8);
        if (::write(unit_end, answer, sizeof answer) != sizeof answer) return;
        if (n > 1) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (::write(unit_end, answer, sizeof answer) != sizeof answer) return;
    }
}

TEST(ModbusLinkRtu, ACopyArrivingInTheFrameGapIsDiscardedNotTakenForTheNextAnswer)
{
    const int unit_end = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(unit_end, 0);
    ASSERT_EQ(::grantpt(unit_end), 0);
    ASSERT_EQ(::unlockpt(unit_end), 0);
    LinkSettings line;
    line.kind = LinkSettings::Kind::Rtu;
    line.device = ::ptsname(unit_end);
    line.baud = 1200;  // a gap of 29 ms, far beyond the copy's 2 ms
    line.timeout_ms = 2000;
    const auto link = make_libmodbus_link(line);
    ASSERT_TRUE(link->open()) << link->failure().text();
    std::thread unit(answer_reads_with_a_late_copy, unit_end, 2);
    uint16_t answers[2] = {};
    for (uint16_t& answer : answers) EXPECT_TRUE(link->read_registers(100, 1, &answer)) << link->failure().text();
    unit.join();
    EXPECT_EQ(answers[0], 1);
    EXPECT_EQ(answers[1], 2) << "the first answer's copy was taken for the second";
    EXPECT_EQ(link->stray_input()->discards, 1);
    EXPECT_EQ(link->stray_input()->bytes, 7);
    link->close();
    ::close(unit_end);
}

}  // namespace
