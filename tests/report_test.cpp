// The status report: conversions, the document's shape, when it is rebuilt,
// and how 801 and 803 deliver it.
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <set>

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

class Report : public testing::Test {
protected:
    // The text as 801 delivers it, with the room it asks for.
    std::string text()
    {
        int length = 0;
        std::vector<char> buffer(1);
        captured_stdout([&] {
            if (h.driver.DeviceIoControl(801, nullptr, 0, buffer.data(), 0, length) == -1) {
                buffer.resize(static_cast<std::size_t>(length));
                EXPECT_EQ(h.driver.DeviceIoControl(801, nullptr, 0, buffer.data(), length, length), 0);
            }
        });
        return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    Json::Value document()
    {
        Json::Value v;
        Json::Reader reader;
        EXPECT_TRUE(reader.parse(text(), v));
        return v;
    }
    // A completed cycle with a time of its own, so the next request rebuilds.
    void new_cycle()
    {
        captured_stdout([&] { h.driver.RoundDone(); });
        next_time += seconds(1);
        h.driver.set_cycle_time(next_time);
    }
    void poll_unit()
    {
        captured_stdout([&] { h.run_cycle(); });
        ASSERT_EQ(h.sink.published.size(), 1u);
    }
    static void set(le_u16& cell, uint16_t value) { cell = le_u16{{uint8_t(value), uint8_t(value >> 8)}}; }

    DriverHarness h;
    ptime next_time = time_from_string("2030-01-01 00:00:00");
};

TEST_F(Report, TenthsAreSinglePrecisionWidenedAndNothingIsSigned)
{
    h.unit->set_register(700, 234);
    h.unit->set_register(701, 235);
    h.unit->set_register(703, 0);
    h.unit->set_register(707, 65535);
    h.unit->set_register(708, 0xFFF6);  // -10 in two's complement
    h.unit->set_register(706, 0xFFF6);
    poll_unit();
    const Json::Value d = document();
    EXPECT_EQ(d["1#吸气温度"].type(), Json::realValue);
    EXPECT_EQ(d["1#吸气温度"].asDouble(), 23.399999618530273);
    EXPECT_EQ(d["2#吸气温度"].asDouble(), 23.5);
    EXPECT_EQ(d["1#排气温度"].type(), Json::realValue);
    EXPECT_EQ(d["1#排气温度"].asDouble(), 0.0);
    EXPECT_EQ(d["1#低压压力"].asDouble(), 6553.5);
    EXPECT_EQ(d["2#低压压力"].asDouble(), 6552.60009765625);
    EXPECT_EQ(d["地板漏水检测值"].type(), Json::realValue);
    EXPECT_EQ(d["地板漏水检测值"].asDouble(), 65526.0);
    EXPECT_NE(text().find(":23.399999618530273,"), std::string::npos) << "written as the double it is";
}

TEST_F(Report, PointsFollowTheirOwnRegisters)
{
    h.unit->set_register(606, 1200);  // 2# compressor's demanded speed
    h.unit->set_register(607, 3400);  // 1# compressor's
    h.unit->set_register(730, 11);
    h.unit->set_register(731, 22);
    h.unit->set_register(712, 77);  // read twice: regs_700[12] and regs_712
    h.unit->set_register(263, 1);
    poll_unit();
    h.record().regs_700[12] = le_u16{{5, 0}};
    new_cycle();
    const Json::Value d = document();
    EXPECT_EQ(d["1#压缩机需求转速"].asDouble(), 340.0);
    EXPECT_EQ(d["2#压缩机需求转速"].asDouble(), 120.0);
    EXPECT_EQ(d["1#外风机输出"].asDouble(), 11.0);
    EXPECT_EQ(d["2#外风机输出"].asDouble(), 22.0);
    EXPECT_EQ(d["加湿电流"].asDouble(), 77.0);
    EXPECT_EQ(d["加湿工作状态"].asString(), "运行");
    EXPECT_EQ(d["1#氟泵比例输出"].asDouble(), 1.0) << "register 263 again, in regs_261";
    EXPECT_EQ(d["1#氟泵运行时间"].type(), Json::realValue);
    EXPECT_EQ(d["1#氟泵运行时间"].asDouble(), 0.0);
    EXPECT_EQ(d["2#氟泵运行时间"].asDouble(), 0.0);
}

TEST_F(Report, EnergyTotalIsAnIntegerOfHighTimesAHundredPlusLow)
{
    set(h.record().regs_1516[7], 1);
    set(h.record().regs_1516[6], 45);
    new_cycle();
    Json::Value d = document();
    EXPECT_EQ(d["有功总电量"].type(), Json::intValue);
    EXPECT_EQ(d["有功总电量"].asInt(), 145);
    set(h.record().regs_1516[7], 0);
    set(h.record().regs_1516[6], 250);
    new_cycle();
    EXPECT_EQ(document()["有功总电量"].asInt(), 250);
    set(h.record().regs_1516[7], 65535);
    set(h.record().regs_1516[6], 65535);
    new_cycle();
    EXPECT_EQ(document()["有功总电量"].asInt(), 65535 * 100 + 65535);
}

struct TextCase {
    const char* member;
    const char* field;
    std::vector<const char*> texts;  // by value from 0; the next value is unlisted
};

TEST_F(Report, StateTextsAndTheirUnlistedValue)
{
    auto cell = [&](const char* field) -> unsigned char* {
        const std::map<std::string, std::size_t> offsets = {
            {"bits_256[0]", offsetof(QM4700RX2VA9_Data_t, bits_256)},
            {"regs_259[0]", offsetof(QM4700RX2VA9_Data_t, regs_259)},
            {"regs_13", offsetof(QM4700RX2VA9_Data_t, regs_13)},
            {"regs_628", offsetof(QM4700RX2VA9_Data_t, regs_628)},
            {"bits_276", offsetof(QM4700RX2VA9_Data_t, bits_276)},
            {"bits_281", offsetof(QM4700RX2VA9_Data_t, bits_281)},
            {"bits_277", offsetof(QM4700RX2VA9_Data_t, bits_277)},
            {"regs_276", offsetof(QM4700RX2VA9_Data_t, regs_276)},
            {"regs_275", offsetof(QM4700RX2VA9_Data_t, regs_275)},
            {"regs_274", offsetof(QM4700RX2VA9_Data_t, regs_274)},
            {"bits_512[0]", offsetof(QM4700RX2VA9_Data_t, bits_512)},
            {"regs_127[14]", offsetof(QM4700RX2VA9_Data_t, regs_127) + 28},
        };
        return reinterpret_cast<unsigned char*>(&h.record()) + offsets.at(field);
    };
    const std::vector<TextCase> cases = {
        {"送风机", "bits_256[0]", {"关闭", "开启"}},
        {"1#电加热工作状态", "regs_259[0]", {"停止", "运行"}},
        {"温度控制", "regs_13", {"送风", "回风"}},
        {"当前控制温度", "regs_628", {"送风", "回风"}},
        {"开关机", "bits_276", {"关机", "开机"}},
        {"手动排水", "bits_281", {"不排水", "排水"}},
        {"故障状态", "bits_277", {"无故障", "有故障"}},
        {"机组状态", "regs_276", {"停止", "运行", "停机中", "群控待机"}},
        {"当前状态", "regs_275",
         {"待机", "制冷", "制热", "加湿", "除湿", "除湿温度补偿", "除湿防凝露", "加湿加热", "加湿制冷",
          "除湿制冷", "制冷防凝露"}},
        {"1#压缩机工作状态", "regs_274",
         {"关机", "正常控制", "手动", "压差", "回油", "高压", "高排温", "低吸气", "高吸气", "除湿防凝露",
          "除湿", "强制制冷", "排温限频", "启动过程", "制冷防凝露"}},
        {"输入点状态水浸传感器告警", "bits_512[0]", {"关闭", "断开"}},
        {"常开/常闭定义烟雾传感器告警", "regs_127[14]", {"常闭", "常开"}},
    };
    for (const TextCase& c : cases) {
        for (std::size_t value = 0; value <= c.texts.size(); ++value) {
            unsigned char* p = cell(c.field);
            p[0] = static_cast<unsigned char>(value);
            if (c.field[0] == 'r') p[1] = 0;
            new_cycle();
            const std::string expected = value < c.texts.size() ? c.texts[value] : "无效值";
            EXPECT_EQ(document()[c.member].asString(), expected) << c.member << " = " << value;
        }
        cell(c.field)[0] = 0;
    }
    set(h.record().regs_276, 0x0100);  // 256: the high byte counts
    new_cycle();
    EXPECT_EQ(document()["机组状态"].asString(), "无效值");
}

TEST_F(Report, AlarmsAreTextsAndBooleans)
{
    h.record().bits_0[0] = 1;
    h.record().bits_0[1] = 2;
    h.record().bits_656[2] = 255;
    new_cycle();
    const Json::Value d = document();
    EXPECT_EQ(d["1#吸气温度故障"].asString(), "告警");
    EXPECT_EQ(d["2#吸气温度故障"].asString(), "告警");
    EXPECT_EQ(d["加湿器高水位"].asString(), "告警");
    EXPECT_EQ(d["1#室外环温探头故障"].asString(), "正常");
    EXPECT_TRUE(d["AlertArray"]["2#吸气温度故障"].asBool());
    EXPECT_TRUE(d["AlertArray"]["2#吸气温度故障"].isBool());
    EXPECT_FALSE(d["AlertArray"]["1#室外环温探头故障"].asBool());
    EXPECT_EQ(d["AlertArray"].size(), 180u);
}

TEST_F(Report, TimeTextHasNoLeadingZeros)
{
    h.record().time = get_ttime(time_from_string("2024-12-07 08:05:03"));
    h.driver.set_cycle_time(time_from_string("2024-12-07 08:05:03"));
    EXPECT_EQ(document()["更新时间"].asString(), "2024-12-7 8:5:3");
    h.record().time = get_ttime(time_from_string("2025-01-01 00:00:00"));
    h.driver.set_cycle_time(time_from_string("2025-01-01 00:00:00"));
    EXPECT_EQ(document()["更新时间"].asString(), "2025-1-1 0:0:0");
}

// Top-level member names in the order the text writes them, unescaped.
std::vector<std::string> top_level_names(const std::string& text)
{
    std::vector<std::string> names;
    int depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') --depth;
        if (c != '"') continue;
        std::size_t end = i + 1;
        while (text[end] != '"') end += text[end] == '\\' ? 2 : 1;
        if (depth == 1 && text[end + 1] == ':') {
            Json::Value name;
            Json::Reader().parse(text.substr(i, end - i + 1), name);
            names.push_back(name.asString());
        }
        i = end;
    }
    return names;
}

TEST_F(Report, DocumentHas320MembersInUtf8ByteOrder)
{
    poll_unit();
    const std::string t = text();
    ASSERT_EQ(t.back(), '\n');
    EXPECT_EQ(t.find('\n'), t.size() - 1) << "one line";
    EXPECT_EQ(t.find(": "), std::string::npos) << "no white space between tokens";
    const std::vector<std::string> names = top_level_names(t);
    EXPECT_EQ(names.size(), 320u);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << "std::string compares bytes";

    const Json::Value d = document();
    std::map<Json::ValueType, int> types;
    for (const std::string& name : d.getMemberNames()) ++types[d[name].type()];
    EXPECT_EQ(types[Json::stringValue], 58 + 180);
    EXPECT_EQ(types[Json::realValue], 80);
    EXPECT_EQ(types[Json::intValue], 1);
    EXPECT_EQ(types[Json::objectValue], 1);
    for (const std::string& name : d["AlertArray"].getMemberNames())
        EXPECT_TRUE(d["AlertArray"][name].isBool()) << name;
}

// ---------------------------------------------------------------- rebuilds

TEST_F(Report, BeforeAnyCycleTheDocumentIsNull)
{
    EXPECT_EQ(text(), "null\n");
    EXPECT_EQ(h.driver.report_rebuilds(), 0u);
}

TEST_F(Report, RequestsWithinOneCycleSeeOneRebuild)
{
    h.record().bits_0[0] = 1;
    new_cycle();
    const std::string first = text();
    h.record().bits_0[0] = 0;
    set(h.record().regs_700[0], 999);
    EXPECT_EQ(text(), first) << "the record changed, the cycle time did not";
    EXPECT_EQ(h.driver.report_rebuilds(), 1u);

    h.driver.set_cycle_time(next_time);  // a cycle completing in the same second
    EXPECT_EQ(text(), first);
    h.driver.set_cycle_time(next_time + seconds(1));
    EXPECT_NE(text(), first);
    EXPECT_EQ(document()["1#吸气温度故障"].asString(), "正常");
    EXPECT_EQ(h.driver.report_rebuilds(), 2u);
}

// ---------------------------------------------------------------- delivery

TEST_F(Report, TextIsCopiedOnlyWhenItFitsWithoutATerminator)
{
    poll_unit();
    const std::string t = text();
    const int needed = static_cast<int>(t.size());
    std::vector<char> out(t.size() + 8, '#');
    int length = -5;
    captured_stdout([&] {
        EXPECT_EQ(h.driver.DeviceIoControl(801, nullptr, 0, out.data(), needed - 1, length), -1);
        EXPECT_EQ(length, needed);
        EXPECT_EQ(std::count(out.begin(), out.end(), '#'), static_cast<long>(out.size())) << "untouched";

        length = 0;
        EXPECT_EQ(h.driver.DeviceIoControl(801, nullptr, 0, out.data(), needed, length), 0);
        EXPECT_EQ(length, needed);
        EXPECT_EQ(std::string(out.data(), t.size()), t);
        EXPECT_EQ(out[t.size()], '#') << "no NUL written";

        length = 0;
        EXPECT_EQ(h.driver.DeviceIoControl(801, nullptr, 0, out.data(), -1, length), -1);
        EXPECT_EQ(length, needed);
        EXPECT_EQ(h.driver.DeviceIoControl(801, nullptr, 0, nullptr, 1 << 20, length), -1)
            << "no buffer is no room";
    });
    EXPECT_TRUE(h.sink.base_calls.empty()) << "801 never reaches the host's handler";
}

TEST_F(Report, HandleIsTheDocumentsAddressInPointerWidth)
{
    poll_unit();
    unsigned char out[sizeof(void*) + 1];
    std::memset(out, 0xEE, sizeof out);
    int length = 0;
    const int width = static_cast<int>(sizeof(void*));
    captured_stdout([&] {
        EXPECT_EQ(h.driver.DeviceIoControl(803, nullptr, 0, out, width - 1, length), -1);
        EXPECT_EQ(length, width);
        EXPECT_EQ(out[0], 0xEE);
        EXPECT_EQ(h.driver.DeviceIoControl(803, nullptr, 0, out, width, length), 0);
    });
    EXPECT_EQ(length, width);
    EXPECT_EQ(out[width], 0xEE);
    const Json::Value* document = nullptr;
    std::memcpy(&document, out, sizeof document);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(document->size(), 320u);
    EXPECT_TRUE(h.sink.base_calls.empty());

    h.record().bits_0[0] = 1;
    new_cycle();
    text();
    EXPECT_EQ((*document)["1#吸气温度故障"].asString(), "告警") << "the same document, rebuilt in place";
}

// Where a document keeps its member names and string values. jsoncpp copies
// only the texts a document owns; a text it merely refers to is shared by
// every copy and dies with whatever holds it.
void collect_texts(const Json::Value& v, std::set<const char*>& texts)
{
    const char* begin = nullptr;
    const char* end = nullptr;
    if (v.isString() && v.getString(&begin, &end)) texts.insert(begin);
    if (!v.isObject()) return;
    for (auto it = v.begin(); it != v.end(); ++it) {
        texts.insert(it.memberName(&end));
        collect_texts(*it, texts);
    }
}

TEST(ReportDocument, AKeptCopyOwnsItsTextsAndRendersAfterTheDriverIsGone)
{
    auto owner = std::make_unique<DriverHarness>();
    owner->record().bits_0[0] = 1;
    captured_stdout([&] { owner->driver.RoundDone(); });
    unsigned char handle[sizeof(void*)];
    int length = 0;
    captured_stdout([&] { owner->driver.DeviceIoControl(803, nullptr, 0, handle, sizeof handle, length); });
    const Json::Value* document = nullptr;
    std::memcpy(&document, handle, sizeof document);
    ASSERT_NE(document, nullptr);

    const Json::Value copy = *document;
    const std::string rendered = Json::FastWriter().write(*document);
    std::set<const char*> ours;
    std::set<const char*> kept;
    collect_texts(*document, ours);
    collect_texts(copy, kept);
    std::vector<const char*> shared;
    std::set_intersection(ours.begin(), ours.end(), kept.begin(), kept.end(), std::back_inserter(shared));
    EXPECT_TRUE(shared.empty()) << shared.size() << " texts shared with the driver, e.g. " << shared.front();
    EXPECT_GT(kept.size(), 500u) << "names and texts of the 320 members and the alarm array";

    owner.reset();
    EXPECT_EQ(Json::FastWriter().write(copy), rendered);
}

TEST_F(Report, ConcurrentRequestsAfterANewCycleRebuildOnceAndAgree)
{
    poll_unit();
    new_cycle();
    const unsigned long before = h.driver.report_rebuilds();
    std::vector<std::string> texts(8);
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        threads.emplace_back([&, i] {
            std::vector<char> buffer(64 * 1024);
            int length = 0;
            unsigned char handle[sizeof(void*)];
            int handle_length = 0;
            for (int k = 0; k < 20; ++k) {
                h.driver.DeviceIoControl(803, nullptr, 0, handle, sizeof handle, handle_length);
                h.driver.DeviceIoControl(801, nullptr, 0, buffer.data(), static_cast<int>(buffer.size()),
                                         length);
            }
            texts[i].assign(buffer.data(), static_cast<std::size_t>(length));
        });
    }
    for (std::thread& t : threads) t.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(h.driver.report_rebuilds(), before + 1);
    for (const std::string& t : texts) EXPECT_EQ(t, texts.front());
    EXPECT_EQ(top_level_names(texts.front()).size(), 320u);
}

}  // namespace
