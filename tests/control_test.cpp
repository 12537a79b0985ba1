// Control commands, the completion of their writes, the outcome query,
// refusals of unreadable input, and Get_Value.
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

namespace {

using boost::posix_time::seconds;
using boost::posix_time::second_clock;

std::vector<unsigned char> words(std::initializer_list<uint16_t> values)
{
    std::vector<unsigned char> bytes;
    for (uint16_t v : values) {
        bytes.push_back(static_cast<unsigned char>(v & 0xFF));
        bytes.push_back(static_cast<unsigned char>(v >> 8));
    }
    return bytes;
}

class Controls : public testing::Test {
protected:
    int command(int code, const void* input, int length, void* output = nullptr, int capacity = 0)
    {
        log += captured_stdout([&] { result = h.driver.DeviceIoControl(code, input, length, output, capacity, returned); });
        return result;
    }
    int command(int code, const std::vector<unsigned char>& input)
    {
        return command(code, input.data(), static_cast<int>(input.size()));
    }
    int command(int code, const std::string& text)
    {
        return command(code, text.data(), static_cast<int>(text.size()));
    }
    // Delivers the unit's answer to the outstanding write.
    void answer() { captured_stdout([&] { h.serve(); }); }
    int outcome()
    {
        int value = 12345;
        command(0, nullptr, 0, &value, 4);
        return value;
    }
    const MemoryUnit::Request& last_request() { return h.unit->requests().back(); }

    void SetUp() override
    {
        h.unit->log_requests(true);
        h.sink.base_result = 77;
    }

    DriverHarness h;
    int result = 0;
    int returned = -9;
    std::string log;
};

TEST_F(Controls, EveryCallIsLoggedWithItsCode)
{
    command(0, nullptr, 0);
    command(801, nullptr, 0);
    command(-5, nullptr, 0);
    EXPECT_EQ(log, "QM4700RX2VA9::DeviceIoControl 0\nQM4700RX2VA9::DeviceIoControl 801\n"
                   "QM4700RX2VA9::DeviceIoControl -5\n");
}

// ---------------------------------------------------------------- on / off

TEST_F(Controls, SwitchOnWritesBit276AndIsConfirmedByItsEcho)
{
    unsigned char out[4];
    EXPECT_EQ(command(100, nullptr, 0, out, 4), 77) << "the host's result";
    EXPECT_EQ(h.driver.poll_step(), 100);
    EXPECT_EQ(h.driver.control_result(), -1);
    EXPECT_EQ(h.driver.expected_value(), 1);
    EXPECT_EQ(h.driver.port_open_count(), 1u);
    ASSERT_EQ(h.sink.base_calls.size(), 1u);
    EXPECT_EQ(h.sink.base_calls[0].code, 100);
    EXPECT_EQ(h.sink.base_calls[0].output, out);
    EXPECT_EQ(h.sink.base_calls[0].output_capacity, 4);
    EXPECT_EQ(h.sink.base_calls[0].returned_length, &returned);
    answer();
    EXPECT_EQ(h.unit->coil(276), 1);
    EXPECT_EQ(h.driver.control_result(), 1);
    EXPECT_EQ(h.driver.poll_step(), 100) << "the step keeps the command's code";
}

TEST_F(Controls, SwitchAnswersAreJudgedAgainstTheFixedBitValue)
{
    h.unit->set_echo_override(0);
    command(100, nullptr, 0);
    answer();
    EXPECT_EQ(h.driver.control_result(), 3) << "on, but the unit reports off";
    command(102, nullptr, 0);
    answer();
    EXPECT_EQ(h.driver.control_result(), 1);
    EXPECT_EQ(h.unit->coil(276), 0);
}

// ---------------------------------------------------------------- setpoints

TEST_F(Controls, TemperatureSetpointIsWrittenInTenths)
{
    EXPECT_EQ(command(106, words({25})), 77);
    EXPECT_EQ(h.driver.poll_step(), 106);
    EXPECT_EQ(h.driver.expected_value(), 250);
    EXPECT_EQ(outcome(), -1);
    answer();
    EXPECT_EQ(h.unit->reg(11), 250);
    EXPECT_EQ(outcome(), 1);
}

TEST_F(Controls, HumiditySetpointNeedsExactlyOneWord)
{
    command(110, words({50}));
    answer();
    EXPECT_EQ(h.unit->reg(1), 500);
    const long requests = h.unit->request_count();
    EXPECT_EQ(command(110, words({1, 2})), 77);
    EXPECT_EQ(command(110, std::vector<unsigned char>{}), 77);
    EXPECT_EQ(h.driver.control_result(), 1) << "the previous outcome stays";
    EXPECT_EQ(h.driver.poll_step(), 110);
    EXPECT_EQ(h.driver.port_open_count(), 1u);
    EXPECT_EQ(h.unit->request_count(), requests);
    EXPECT_EQ(h.sink.base_calls.size(), 3u);
}

TEST_F(Controls, ASetpointPastSixteenBitsCanNeverBeConfirmed)
{
    command(106, words({7000}));
    EXPECT_EQ(h.driver.expected_value(), 70000);
    answer();
    EXPECT_EQ(h.driver.control_result(), 3);
}

// ---------------------------------------------------------------- raw writes

TEST_F(Controls, SingleRegisterWriteReturnsAtOnceWithoutTheHost)
{
    EXPECT_EQ(command(206, words({704, 3})), 0);
    EXPECT_TRUE(h.sink.base_calls.empty());
    EXPECT_EQ(h.driver.poll_step(), 206);
    EXPECT_EQ(h.driver.expected_value(), 3);
    answer();
    EXPECT_EQ(h.unit->reg(704), 3);
    EXPECT_EQ(h.driver.control_result(), 1);
}

TEST_F(Controls, MultipleRegisterWriteTakesTheWordsAfterTheAddress)
{
    std::vector<unsigned char> input = words({720, 0x1111, 0x2222});
    input.push_back(0x99);  // odd trailing byte
    EXPECT_EQ(command(210, input), 0);
    EXPECT_TRUE(h.sink.base_calls.empty());
    EXPECT_EQ(h.driver.expected_value(), 2);
    answer();
    EXPECT_EQ(h.unit->reg(720), 0x1111);
    EXPECT_EQ(h.unit->reg(721), 0x2222);
    EXPECT_EQ(h.unit->reg(722), 0);
    EXPECT_EQ(last_request().count, 2);
    EXPECT_EQ(h.driver.control_result(), 1);

    h.unit->set_echo_override(3);
    command(210, words({720, 1, 2}));
    answer();
    EXPECT_EQ(h.driver.control_result(), 3) << "the unit confirmed another count";
}

TEST_F(Controls, WriteCompletionComparesUnsignedWords)
{
    command(210, words({1, 0, 0, 0}));  // expected value 3
    h.driver.set_answer_words(16, 3);
    h.driver.process_payload(SPModbus::TAB_REGISTERS, 2);
    EXPECT_EQ(h.driver.control_result(), 1);
    command(210, words({1, 0, 0, 0}));
    h.driver.set_answer_words(3, 3);
    h.driver.process_payload(SPModbus::TAB_REGISTERS, 2);
    EXPECT_EQ(h.driver.control_result(), 3);

    command(206, words({5, 0xFFFF}));  // expected 65535, not -1
    h.driver.set_answer_words(0xFFFF, 0);
    h.driver.process_payload(SPModbus::TAB_REGISTERS, 1);
    EXPECT_EQ(h.driver.control_result(), 1);
}

// ---------------------------------------------------------------- signal codes

TEST_F(Controls, SignalSetpointWritesTheTemperatureSetpoint)
{
    EXPECT_EQ(command(310, R"({"signal_id": "150800310010", "SetValue": "24"})"), 77);
    EXPECT_EQ(h.driver.poll_step(), 106);
    EXPECT_EQ(h.driver.expected_value(), 240);
    EXPECT_EQ(h.driver.port_open_count(), 2u) << "opened by the common start and again for the write";
    answer();
    EXPECT_EQ(h.unit->reg(11), 240);
    EXPECT_EQ(h.driver.control_result(), 1);
    ASSERT_EQ(h.sink.base_calls.size(), 1u);
    EXPECT_EQ(h.sink.base_calls[0].code, 310);
}

TEST_F(Controls, SignalSetpointValuesAreAtoiInSixteenBits)
{
    const std::pair<const char*, uint16_t> cases[] = {
        {R"({"signal_id": "6016A2101001", "SetValue": 24})", 240},
        {R"({"signal_id": "6016A2101001", "SetValue": "24.7"})", 240},
        {R"({"signal_id": "6016A2101001", "SetValue": "-5"})", static_cast<uint16_t>(-50)},
        {R"({"signal_id": "6016A2101001", "SetValue": "x12"})", 0},
        {R"({"signal_id": "6016A2101001", "SetValue": "7000"})", static_cast<uint16_t>(70000)},
        {R"({"signal_id": "6016A2101001", "SetValue": "99999999999999999999"})", static_cast<uint16_t>(0xFFFF * 10)},
    };
    for (const auto& [text, expected] : cases) {
        command(310, std::string(text));
        answer();
        EXPECT_EQ(h.unit->reg(11), expected) << text;
        EXPECT_EQ(h.driver.expected_value(), expected) << text;
        EXPECT_EQ(h.driver.control_result(), 1) << text;
    }
}

TEST_F(Controls, SignalSetpointForHumidityUsesRegister1)
{
    command(310, std::string(R"({"signal_id": "150800340010", "SetValue": "55"})"));
    EXPECT_EQ(h.driver.poll_step(), 110);
    answer();
    EXPECT_EQ(h.unit->reg(1), 550);
}

TEST_F(Controls, SignalSetpointWithoutAWriteLeavesStep310)
{
    // A value that is never converted may be anything, an array or object too.
    const char* const texts[] = {
        R"({"SetValue": "24"})", R"({"signal_id": "150800310011", "SetValue": "24"})",
        R"({"signal_id": "150800310010"})", R"({"signal_id": null, "SetValue": 1})", "null",
        R"({"SetValue": [24]})", R"({"signal_id": "150800310011", "SetValue": {"v": 24}})",
        R"({"signal_id": 150800310011, "SetValue": [[]]})"};
    for (const char* text : texts) {
        EXPECT_EQ(command(310, std::string(text)), 77) << text;
        EXPECT_EQ(h.driver.poll_step(), 310) << text;
        EXPECT_EQ(h.driver.control_result(), -1);
        EXPECT_FALSE(h.driver.IsProcessing()) << text;
    }
    EXPECT_EQ(h.sink.base_calls.size(), std::size(texts));
}

TEST_F(Controls, SignalSetpointThatIsNotAnObjectIsRefused)
{
    for (const char* text : {"not json", "[1, 2]", "\"150800310010\"", "42", "true", "[null]",
                             R"({"signal_id": ["150800310010"], "SetValue": 1})",
                             R"({"signal_id": {}})",
                             R"({"signal_id": "150800310010", "SetValue": {"v": 1}})",
                             R"({"signal_id": "150800340010", "SetValue": []})"}) {
        h.driver.set_poll_step(55);
        EXPECT_EQ(command(310, std::string(text)), -1) << text;
        EXPECT_EQ(h.driver.poll_step(), 310) << text;
        EXPECT_EQ(h.driver.control_result(), -1);
        EXPECT_FALSE(h.driver.IsProcessing()) << text;
    }
    EXPECT_TRUE(h.sink.base_calls.empty());
}

// jsoncpp throws past 1000 nested levels; the command is refused as
// unparsable text, whether the nesting is closed or not, and a nesting just
// below the limit is read as usual.
TEST_F(Controls, SignalSetpointNestingIsRefusedOnlyPastTheParsersLimit)
{
    const auto repeat = [](const char* part, int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += part;
        return text;
    };
    const std::string write = R"("signal_id": "150800310010", "SetValue": "24")";
    const struct {
        std::string text;
        int result;
        int poll_step;
    } cases[] = {
        {repeat("[", 1100), -1, 310},
        {repeat("[", 1100) + repeat("]", 1100), -1, 310},
        {repeat("{\"a\":", 1100) + "1" + repeat("}", 1100), -1, 310},
        {repeat("{\"a\":", 1100), -1, 310},
        {repeat("[{\"a\":", 600) + repeat("}]", 600), -1, 310},
        {"{" + write + ", \"x\": " + repeat("[", 1100) + repeat("]", 1100) + "}", -1, 310},
        {"{" + write + ", \"x\": " + repeat("[", 900) + repeat("]", 900) + "}", 77, 106},
        {"{\"x\": " + repeat("{\"a\":", 900) + "1" + repeat("}", 900) + ", " + write + "}", 77, 106},
        {"{\"SetValue\": " + repeat("[", 900) + repeat("]", 900) + "}", 77, 310},
        {repeat("[", 900) + repeat("]", 900), -1, 310},
    };
    std::size_t base_calls = 0;
    for (const auto& c : cases) {
        const std::string shown = c.text.substr(0, 40) + "... " + std::to_string(c.text.size()) + " bytes";
        EXPECT_EQ(command(310, c.text), c.result) << shown;
        EXPECT_EQ(h.driver.poll_step(), c.poll_step) << shown;
        if (c.result != -1) ++base_calls;
        EXPECT_EQ(h.sink.base_calls.size(), base_calls) << shown;
    }
}

TEST_F(Controls, SignalSwitchTakesTheTextOfExactlyTheInputLength)
{
    EXPECT_EQ(command(320, std::string("601500201001")), 77);
    EXPECT_EQ(h.driver.poll_step(), 100);
    EXPECT_EQ(h.driver.expected_value(), 1);
    EXPECT_EQ(h.driver.port_open_count(), 1u);
    answer();
    EXPECT_EQ(h.unit->coil(276), 1);
    EXPECT_EQ(h.driver.control_result(), 1);

    command(320, std::string("140800300010"));
    EXPECT_EQ(h.driver.poll_step(), 102);
    answer();
    EXPECT_EQ(h.unit->coil(276), 0);

    const char with_nul[] = "601500201001";
    command(320, with_nul, sizeof with_nul);  // the terminator counted in the length
    EXPECT_EQ(h.driver.poll_step(), 320);
    EXPECT_FALSE(h.driver.IsProcessing());
    EXPECT_EQ(h.sink.base_calls.back().code, 320);
}

// ---------------------------------------------------------------- outcome query

TEST_F(Controls, OutcomeQueryReportsTheControlResultThenAsksTheHost)
{
    command(106, words({25}));
    int out = 0;
    EXPECT_EQ(command(555, nullptr, 0, &out, 4), 77);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(returned, 4);
    answer();
    EXPECT_EQ(command(555, nullptr, 0, &out, 4), 77);
    EXPECT_EQ(out, 1);

    unsigned char small[4] = {0xAB, 0xAB, 0xAB, 0xAB};
    command(555, nullptr, 0, small, 3);
    EXPECT_EQ(returned, 0);
    command(555, nullptr, 0, small, -4);
    EXPECT_EQ(returned, 0);
    EXPECT_EQ(small[0], 0xAB);
    EXPECT_EQ(h.sink.base_calls.size(), 5u);
    EXPECT_EQ(h.sink.base_calls.back().output, small);
    EXPECT_EQ(h.sink.base_calls.back().output_capacity, -4);
}

// ---------------------------------------------------------------- refusals

TEST_F(Controls, UnreadableInputIsRefusedWithNothingSentOrChanged)
{
    command(106, words({25}));
    answer();
    const long requests = h.unit->request_count();
    const std::vector<unsigned char> short_input = {1, 2, 3};
    const std::vector<unsigned char> too_many(2 + 2 * 124, 0);
    struct Case {
        int code;
        const void* input;
        int length;
    } cases[] = {
        {106, short_input.data(), -2}, {110, nullptr, 2},           {206, short_input.data(), -1},
        {206, nullptr, 4},             {206, short_input.data(), 3}, {210, short_input.data(), 3},
        {210, nullptr, 8},             {210, too_many.data(), 250},  {310, nullptr, 10},
        {310, "{}", -1},               {320, nullptr, 12},           {320, "601500201001", -12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(command(c.code, c.input, c.length), -1) << c.code << " length " << c.length;
        EXPECT_EQ(h.driver.poll_step(), 106);
        EXPECT_EQ(h.driver.control_result(), 1);
        EXPECT_EQ(h.driver.expected_value(), 250);
    }
    EXPECT_FALSE(h.driver.IsProcessing());
    EXPECT_EQ(h.unit->request_count(), requests);
    EXPECT_EQ(h.driver.port_open_count(), 1u);
    EXPECT_EQ(h.sink.base_calls.size(), 1u) << "only the first command reached the host";
}

TEST_F(Controls, TheLargestMultipleWriteIsAccepted)
{
    std::vector<unsigned char> input(2 + 2 * 123, 0);
    EXPECT_EQ(command(210, input), 0);
    answer();
    EXPECT_EQ(last_request().count, 123);
    EXPECT_EQ(h.driver.control_result(), 1);
}

// ---------------------------------------------------------------- with the polling chain

TEST_F(Controls, RefreshStatusRestartsTheChainUnderAnOutstandingWrite)
{
    command(106, words({25}));
    captured_stdout([&] { h.driver.RefreshStatus(); });
    EXPECT_EQ(h.driver.poll_step(), 11);
    answer();
    EXPECT_EQ(h.driver.control_result(), -1) << "the write's answer never came";
    EXPECT_EQ(h.sink.published.size(), 1u);
}

TEST_F(Controls, ACommandMidCycleTakesTheNextReadAnswerAsItsOwn)
{
    h.unit->set_register(719, 250);
    h.driver.RefreshStatus();
    while (h.driver.poll_step() < 30) h.driver.process();  // register 719 is being read
    command(206, words({11, 250}));
    h.driver.modbus_read_registers(719, 1);  // the read's answer is what arrives next
    answer();
    EXPECT_EQ(h.driver.control_result(), 1) << "the read's 250 judged as the write's echo";
    EXPECT_EQ(h.driver.poll_step(), 206);
    EXPECT_TRUE(h.sink.published.empty()) << "the cycle is not completed";
}

// ---------------------------------------------------------------- Get_Value

std::string get_value_message(const QM4700RX2VA9& driver)
{
    try {
        driver.Get_Value(0, "送风机");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "(returned)";
}

// The age is measured against the clock, so retry when the second turns
// between setting the cycle time and reading it.
std::string message_at_age(DriverHarness& h, long age_seconds)
{
    std::string message;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto now = second_clock::local_time();
        h.driver.set_cycle_time(now - seconds(age_seconds));
        message = get_value_message(h.driver);
        if (second_clock::local_time() == now) break;
    }
    return message;
}

TEST_F(Controls, GetValueIsNeverSupported)
{
    EXPECT_EQ(get_value_message(h.driver), "数据未就绪");
    captured_stdout([&] { h.driver.RoundDone(); });
    EXPECT_EQ(message_at_age(h, 0), "不支持变量");
    EXPECT_EQ(message_at_age(h, 60), "不支持变量");
    EXPECT_EQ(message_at_age(h, 61), "数据已超时");
    EXPECT_EQ(message_at_age(h, -3600), "不支持变量") << "a clock set back";
}

}  // namespace
