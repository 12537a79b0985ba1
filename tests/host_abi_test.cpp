// The framework's virtual operations sit in fixed vtable slots: a driver
// built here must call the gateway's implementations through the same slots.
#include "driver/QM4700RX2VA9.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// Under the Itanium C++ ABI a pointer to a virtual member function holds
// 1 + the slot's byte offset in the vtable. On MIPS (and ARM), where code
// addresses may be odd, the virtual flag moves to the adjustment word and
// the pointer holds the plain offset.
template <typename Pmf>
long slot_of(Pmf pmf)
{
    struct Raw {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } raw;
    static_assert(sizeof(Pmf) == sizeof(Raw), "Itanium member pointer layout");
    std::memcpy(&raw, &pmf, sizeof raw);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    EXPECT_EQ(raw.adj & 1, 1) << "not a virtual member";
    const std::uintptr_t offset = raw.ptr;
#else
    EXPECT_EQ(raw.ptr % sizeof(void*), 1u) << "not a virtual member";
    const std::uintptr_t offset = raw.ptr - 1;
#endif
    return static_cast<long>(offset / sizeof(void*));
}

using D = QM4700RX2VA9;

TEST(HostAbi, VirtualOperationsKeepTheFrameworkSlotOrder)
{
    EXPECT_EQ(slot_of(&D::Get_Value), 0);
    EXPECT_EQ(slot_of(static_cast<bool (D::*)(const std::string&)>(&D::LoadFromCache)), 1);
    EXPECT_EQ(slot_of(static_cast<bool (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), 2);
    EXPECT_EQ(slot_of(&D::DataId), 3);
    EXPECT_EQ(slot_of(&D::DeviceType), 4);
    EXPECT_EQ(slot_of(&D::DeviceIoControl), 5);
    EXPECT_EQ(slot_of(&D::RoundDone), 6);
    EXPECT_EQ(slot_of(&D::UseControllerDb), 7);
    // Slots 8 and 9: the complete and the deleting destructor.
    EXPECT_EQ(slot_of(&D::Reset), 10);
    EXPECT_EQ(slot_of(&D::InitV), 11);
    EXPECT_EQ(slot_of(&D::Init), 12);
    EXPECT_EQ(slot_of(&D::InitSetting), 13);
    EXPECT_EQ(slot_of(&D::IsSupportDevice), 14);
    EXPECT_EQ(slot_of(&D::GetChildVDevice), 15);
    EXPECT_EQ(slot_of(&D::GetAllChildVDevices), 16);
    EXPECT_EQ(slot_of(&D::SendSP), 17);
    EXPECT_EQ(slot_of(&D::SendDelayData), 18);
    EXPECT_EQ(slot_of(&D::SendDoData), 19);
    EXPECT_EQ(slot_of(&D::ReadDi), 20);
    EXPECT_EQ(slot_of(&D::ReadAi), 21);
    EXPECT_EQ(slot_of(&D::Get_SP_Value), 22);
    EXPECT_EQ(slot_of(&D::RefreshStatus), 23);
    EXPECT_EQ(slot_of(&D::process), 24);
    EXPECT_EQ(slot_of(&D::IsProcessing), 25);
    EXPECT_EQ(slot_of(&D::IsStalled), 26);
    EXPECT_EQ(slot_of(&D::SendData), 27);
    EXPECT_EQ(slot_of(&D::SendParityData), 28);
    EXPECT_EQ(slot_of(&D::OpenPort), 29);
    EXPECT_EQ(slot_of(&D::ClosePort), 30);
    EXPECT_EQ(slot_of(&D::process_payload), 31);
    EXPECT_EQ(slot_of(&D::on_error), 32);
    EXPECT_EQ(slot_of(&D::RunCheckThreshold), 33);
}

TEST(HostAbi, HeaderInlineOperationsBehaveAsTheFrameworkDefines)
{
    D device;
    const VDeviceInterface& base = device;
    EXPECT_EQ(base.DeviceType(), "qm4700rx2va9");
    EXPECT_EQ(base.UseControllerDb(), 0);
    EXPECT_EQ(device.GetChildVDevice(1), nullptr);
    EXPECT_TRUE(device.GetAllChildVDevices().empty());
    try {
        base.VDeviceInterface::Get_Value(0, "x");
        FAIL() << "Get_Value returned";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(device.on_error(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SPModbus get error\n");
}

}  // namespace
