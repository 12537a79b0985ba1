// The simulated unit served on a loopback port in a thread of the test and
// read by a plain libmodbus master; the serial side through a pseudo-terminal.
#include "driver/polling_chain.hpp"
#include "tools/sim/unit_server.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

class Master {
public:
    explicit Master(int port) : ctx_(modbus_new_tcp("127.0.0.1", port))
    {
        modbus_set_response_timeout(ctx_, 0, 250000);
        modbus_connect(ctx_);
    }
    ~Master()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    modbus_t* ctx() { return ctx_; }
    int reg(int address)
    {
        uint16_t v = 0;
        return modbus_read_registers(ctx_, address, 1, &v) == 1 ? v : -1;
    }
    int coil(int address)
    {
        uint8_t v = 0;
        return modbus_read_bits(ctx_, address, 1, &v) == 1 ? v : -1;
    }
    // A single write sent as a raw frame: the answer as the unit sent it.
    std::vector<uint8_t> single_write(int function, int address, uint16_t value)
    {
        const uint8_t request[] = {1, static_cast<uint8_t>(function), static_cast<uint8_t>(address >> 8),
                                   static_cast<uint8_t>(address), static_cast<uint8_t>(value >> 8),
                                   static_cast<uint8_t>(value)};
        uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
        if (modbus_send_raw_request(ctx_, request, sizeof request) == -1) return {};
        const int length = modbus_receive_confirmation(ctx_, answer);
        if (length < 7) return {};
        return std::vector<uint8_t>(answer + 7, answer + length);  // past the MBAP header
    }

private:
    modbus_t* ctx_;
};

class UnitServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        port = unit.listen_tcp("127.0.0.1", 0);
        serving = std::thread([this] { unit.serve(stop); });
    }
    void TearDown() override
    {
        stop = true;
        if (serving.joinable()) serving.join();
    }

    UnitServer unit;
    std::atomic<bool> stop{false};
    std::thread serving;
    int port = 0;
};

TEST_F(UnitServerTest, TheDefaultUnitIsOnAndCoolingWithoutAlarms)
{
    Master m(port);
    uint8_t alarms[195];
    ASSERT_EQ(modbus_read_bits(m.ctx(), 0, 195, alarms), 195);
    for (int a = 0; a < 195; ++a) EXPECT_EQ(alarms[a], 0) << "alarm coil " << a;
    ASSERT_EQ(modbus_read_bits(m.ctx(), 656, 3, alarms), 3);
    EXPECT_EQ(alarms[0] | alarms[1] | alarms[2], 0);
    EXPECT_EQ(m.coil(276), 1) << "unit on";
    EXPECT_EQ(m.coil(256), 1) << "supply fan";
    EXPECT_EQ(m.coil(257), 1) << "compressor 1";
    uint16_t air[4];
    ASSERT_EQ(modbus_read_registers(m.ctx(), 1500, 4, air), 4);
    EXPECT_EQ(std::vector<uint16_t>(air, air + 4), (std::vector<uint16_t>{180, 550, 240, 450}));
    EXPECT_EQ(m.reg(0), 180);
    EXPECT_EQ(m.reg(11), 240);
    EXPECT_EQ(m.reg(1), 500);
    EXPECT_EQ(m.reg(276), 1);
    EXPECT_EQ(m.reg(275), 1);
}

TEST_F(UnitServerTest, EveryReadOfThePollingChainIsAnswered)
{
    Master m(port);
    uint16_t cells[MODBUS_MAX_READ_REGISTERS];
    uint8_t bits[MODBUS_MAX_READ_BITS];
    for (const PollRead& r : kPollingChain) {
        const int got = r.kind == ReadKind::Bits ? modbus_read_bits(m.ctx(), r.address, r.count, bits)
                                                 : modbus_read_registers(m.ctx(), r.address, r.count, cells);
        EXPECT_EQ(got, r.count) << r.field << ": " << modbus_strerror(errno);
    }
    EXPECT_EQ(unit.requests(), static_cast<long>(kPollingChain.size()));
}

TEST_F(UnitServerTest, AStateOverridesOnlyWhatItNames)
{
    Json::Value state;
    state["coils"]["276"] = 0;
    state["coils"]["12"] = true;
    state["regs"]["11"] = 250;
    unit.apply_state(state);
    Master m(port);
    EXPECT_EQ(m.coil(276), 0);
    EXPECT_EQ(m.coil(12), 1);
    EXPECT_EQ(m.reg(11), 250);
    EXPECT_EQ(m.reg(0), 180) << "defaults stay under the state";
}

TEST_F(UnitServerTest, ABadStateIsRefusedByItsEntryAndAppliesNothing)
{
    const auto refusal = [&](const char* member, const char* key, const Json::Value& value) -> std::string {
        Json::Value state;
        state["regs"]["11"] = 999;  // valid, and must not land
        state[member][key] = value;
        try {
            unit.apply_state(state);
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_NE(refusal("regs", "0x10", 1).find("regs \"0x10\""), std::string::npos);
    EXPECT_NE(refusal("regs", "65536", 1).find("\"65536\""), std::string::npos);
    EXPECT_NE(refusal("regs", "7", 70000).find("regs \"7\""), std::string::npos);
    EXPECT_NE(refusal("coils", "276", 2).find("coils \"276\""), std::string::npos);
    EXPECT_NE(refusal("coil", "276", 1).find("\"coil\""), std::string::npos);
    EXPECT_EQ(unit.reg(11), 240);
}

TEST_F(UnitServerTest, WritesAreStoredAndReadBack)
{
    Master m(port);
    const uint16_t block[] = {11, 22, 33};
    ASSERT_EQ(modbus_write_bit(m.ctx(), 276, 0), 1);
    ASSERT_EQ(modbus_write_register(m.ctx(), 11, 260), 1);
    ASSERT_EQ(modbus_write_registers(m.ctx(), 4000, 3, block), 3);
    EXPECT_EQ(m.coil(276), 0);
    EXPECT_EQ(m.reg(11), 260);
    EXPECT_EQ(m.reg(4002), 33);
    EXPECT_FALSE(unit.coil(276));
    EXPECT_EQ(unit.reg(4000), 11);
}

TEST_F(UnitServerTest, ASingleWritesEchoCarriesTheValueWritten)
{
    Master m(port);
    EXPECT_EQ(m.single_write(0x05, 276, 0xFF00), (std::vector<uint8_t>{0x05, 0x01, 0x14, 0xFF, 0x00}));
    EXPECT_EQ(m.single_write(0x06, 1, 550), (std::vector<uint8_t>{0x06, 0x00, 0x01, 0x02, 0x26}));
    EXPECT_EQ(m.reg(1), 550);
}

TEST_F(UnitServerTest, AWrongEchoStoresTheValueButAnswersAnother)
{
    UnitFaults faults;
    faults.wrong_echo = true;
    unit.set_faults(faults);
    Master m(port);
    EXPECT_EQ(m.single_write(0x06, 11, 250), (std::vector<uint8_t>{0x06, 0x00, 0x0B, 0x00, 0xFB}));
    EXPECT_EQ(m.reg(11), 250);
}

TEST_F(UnitServerTest, StateSetWhileServingShowsInTheNextRead)
{
    Master m(port);
    EXPECT_EQ(m.coil(40), 0);
    unit.set_coil(40, true);
    unit.set_register(1502, 300);
    EXPECT_EQ(m.coil(40), 1);
    EXPECT_EQ(m.reg(1502), 300);
    EXPECT_THROW(unit.set_register(65536, 1), std::out_of_range);
}

TEST_F(UnitServerTest, ClientsAreServedSideBySideAndMayComeBack)
{
    Master staying(port);
    {
        Master leaving(port);
        EXPECT_EQ(leaving.reg(11), 240);
        EXPECT_EQ(staying.reg(0), 180);
    }
    Master returning(port);
    EXPECT_EQ(returning.reg(1), 500);
    EXPECT_EQ(staying.reg(11), 240);
}

// ---- Faults

TEST_F(UnitServerTest, SilentAfterNRequestsAnswersNoMore)
{
    unit.set_faults({2, -1, 0});
    Master m(port);
    EXPECT_EQ(m.reg(0), 180);
    EXPECT_EQ(m.coil(276), 1);
    EXPECT_EQ(m.reg(0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(m.reg(1), -1);
    EXPECT_EQ(unit.requests(), 4);
}

TEST_F(UnitServerTest, ReadsCoveringTheExceptionAddressAreRefused)
{
    unit.set_faults({-1, 1502, 0});
    Master m(port);
    uint16_t air[4];
    EXPECT_EQ(modbus_read_registers(m.ctx(), 1500, 4, air), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(modbus_read_registers(m.ctx(), 1500, 2, air), 2);
    EXPECT_EQ(m.reg(1503), 450);
    EXPECT_EQ(m.single_write(0x06, 1502, 7), (std::vector<uint8_t>{0x06, 0x05, 0xDE, 0x00, 0x07}))
        << "writes are not refused";
}

TEST_F(UnitServerTest, EveryNthRequestIsDropped)
{
    unit.set_faults({-1, -1, 3});
    Master m(port);
    std::vector<int> answered;
    for (int i = 0; i < 6; ++i) answered.push_back(m.reg(11));
    EXPECT_EQ(answered, (std::vector<int>{240, 240, -1, 240, 240, -1}));
}

// ---- The serial line

uint16_t crc16(const uint8_t* data, std::size_t length)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::vector<uint8_t> rtu_frame(std::vector<uint8_t> frame, bool good_crc = true)
{
    const uint16_t crc = static_cast<uint16_t>(crc16(frame.data(), frame.size()) ^ (good_crc ? 0 : 1));
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// What arrives on `fd` within `ms`, until `expected` bytes are in.
std::vector<uint8_t> receive(int fd, std::size_t expected, int ms)
{
    std::vector<uint8_t> got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < expected && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        uint8_t chunk[64];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

// A pseudo-terminal pair: the unit serves one end, the test is the master.
struct PtyPair {
    int open() { return openpty(&master, &slave, name, nullptr, nullptr); }
    ~PtyPair()
    {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    int master = -1;
    int slave = -1;
    char name[64] = {};
};

// The unit on the pty's slave end, answering as `slave_id`.
void open_on(UnitServer& unit, const PtyPair& pty, int slave_id)
{
    SerialLine line;
    line.device = pty.name;
    line.slave = slave_id;
    unit.open_rtu(line);
}

// Serves `unit` on its own thread until it goes out of scope.
class Serving {
public:
    explicit Serving(UnitServer& unit) : thread_([this, &unit] { unit.serve(stop_); }) {}
    ~Serving()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(UnitServerRtu, AnswersItsOwnSlaveIdAndSurvivesABrokenFrame)
{
    PtyPair pty;
    ASSERT_EQ(pty.open(), 0);
    const int master = pty.master;
    UnitServer unit;
    open_on(unit, pty, 7);
    Serving serving(unit);

    const std::vector<uint8_t> read_11 = rtu_frame({7, 0x03, 0x00, 0x0B, 0x00, 0x01});
    const auto send = [&](const std::vector<uint8_t>& frame) {
        ASSERT_EQ(::write(master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    };
    const std::vector<uint8_t> answer_11 = rtu_frame({7, 0x03, 0x02, 0x00, 240});
    send(rtu_frame({7, 0x03, 0x00, 0x0B, 0x00, 0x01}, false));
    EXPECT_TRUE(receive(master, 1, 300).empty()) << "a bad CRC gets no answer";
    send(read_11);
    EXPECT_EQ(receive(master, answer_11.size(), 1000), answer_11);
    // Another slave on the line is asked and answers; then it is our turn.
    send(rtu_frame({8, 0x03, 0x00, 0x0B, 0x00, 0x01}));
    send(rtu_frame({8, 0x03, 0x02, 0x00, 0x01}));
    EXPECT_TRUE(receive(master, 1, 300).empty()) << "another slave's request gets no answer";
    send(read_11);
    EXPECT_EQ(receive(master, answer_11.size(), 1000), answer_11);
}

// Three units on one line: each answers from its own state, the silent one
// and ids nobody serves never do; a write's frame is measured by its byte
// count, so the request after it is still understood.
TEST(UnitServerRtu, SeveralUnitsOnOneLineAnswerEachFromItsOwnState)
{
    PtyPair pty;
    ASSERT_EQ(pty.open(), 0);
    const int master = pty.master;
    UnitServer unit;
    open_on(unit, pty, 1);
    unit.add_slave(2);
    unit.add_slave(3);
    Json::Value state;
    state["regs"]["11"] = 262;
    unit.apply_state(state, 2);
    unit.set_silent(3);
    EXPECT_THROW(unit.add_slave(2), std::invalid_argument);
    Serving serving(unit);

    const auto ask = [&](const std::vector<uint8_t>& request, std::size_t answer_length) {
        const std::vector<uint8_t> frame = rtu_frame(request);
        EXPECT_EQ(::write(master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        // No answer expected: whatever comes within 300 ms is one too many.
        return answer_length ? receive(master, answer_length, 1000) : receive(master, 1, 300);
    };
    struct Case {
        uint8_t slave;
        std::vector<uint8_t> answer;  // empty: none
    } cases[] = {
        {1, rtu_frame({1, 0x03, 0x02, 0x00, 240})},
        {2, rtu_frame({2, 0x03, 0x02, 0x01, 6})},
        {3, {}},
        {4, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ask({c.slave, 0x03, 0x00, 0x0B, 0x00, 0x01}, c.answer.size()), c.answer) << "slave " << +c.slave;

    EXPECT_EQ(ask({1, 0x10, 0x00, 0x0B, 0x00, 0x02, 0x04, 0x00, 250, 0x00, 251}, 8),
              rtu_frame({1, 0x10, 0x00, 0x0B, 0x00, 0x02}));
    EXPECT_EQ(ask({2, 0x03, 0x00, 0x0B, 0x00, 0x02}, 9), rtu_frame({2, 0x03, 0x04, 0x01, 6, 0x00, 0x00}))
        << "unit 1's write stays unit 1's";
    EXPECT_EQ(unit.reg(11), 250);
}

}  // namespace
