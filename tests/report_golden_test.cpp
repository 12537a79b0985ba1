// The 801 text for one fixed record and time stamp, byte for byte, against a
// stored copy: the gateway's build must render exactly what this one does
// (number formatting, escaping, member order).
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

std::string render_fixed_record()
{
    DriverHarness h;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&h.record());
    for (int i = 0; i < 452; ++i) bytes[i] = static_cast<unsigned char>(i * 31 + 7);
    for (int i = 0; i < 195; ++i) h.record().bits_0[i] = static_cast<unsigned char>(i % 3 == 0);
    h.record().time = get_ttime(boost::posix_time::time_from_string("2024-05-06 07:08:09"));
    h.driver.set_cycle_time(boost::posix_time::time_from_string("2024-05-06 07:08:09"));
    std::vector<char> out(64 * 1024);
    int length = 0;
    captured_stdout([&] {
        EXPECT_EQ(h.driver.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()), length), 0);
    });
    return std::string(out.data(), static_cast<std::size_t>(length));
}

TEST(ReportGolden, TextForAFixedRecordIsByteIdenticalToTheStoredOne)
{
    std::ifstream file(QM_GOLDEN_REPORT, std::ios::binary);
    ASSERT_TRUE(file) << "missing " << QM_GOLDEN_REPORT;
    const std::string stored((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string rendered = render_fixed_record();
    if (rendered != stored && std::getenv("QM_WRITE_GOLDEN")) {
        std::ofstream(QM_GOLDEN_REPORT, std::ios::binary) << rendered;
        GTEST_SKIP() << "stored copy rewritten";
    }
    EXPECT_EQ(rendered.size(), stored.size());
    EXPECT_TRUE(rendered == stored) << "first difference at byte "
                                    << std::mismatch(rendered.begin(), rendered.end(), stored.begin()).first -
                                           rendered.begin();
}

}  // namespace
