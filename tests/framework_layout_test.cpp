// The layout the driver is compiled for: the framework classes' sizes and the
// offsets of the inherited members the driver reads and writes. The driver's
// own members start where SPModbus ends, so a change to any of these moves
// the whole record; it must be deliberate and match the gateway's library.
#include "host/framework.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <new>
#include <type_traits>

namespace {

#if defined(__x86_64__)
#define QM_LAYOUT(x86_64, mipsel) x86_64
#elif defined(__mips__) && defined(_ABIO32) && _MIPS_SIM == _ABIO32 && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define QM_LAYOUT(x86_64, mipsel) mipsel
#else
#define QM_LAYOUT(x86_64, mipsel) 0
#define QM_LAYOUT_UNPINNED 1
#endif

struct Pin {
    const char* what;
    std::size_t actual;
    std::size_t expected;
};

// Every framework member the object inherits, at its offset from the start.
struct Probe final : SPModbus {
    int process_payload(tab_type, unsigned int) override { return 0; }

    template <typename Member>
    std::size_t at(const Member& member) const
    {
        return static_cast<std::size_t>(reinterpret_cast<const char*>(&member) -
                                        reinterpret_cast<const char*>(this));
    }

    void expect_pinned_layout() const;
};

void Probe::expect_pinned_layout() const
{
    const Probe& p = *this;
    const Pin pins[] = {
        {"sizeof(VDeviceInterface)", sizeof(VDeviceInterface), QM_LAYOUT(56, 36)},
        {"sizeof(ZKVVDevice)", sizeof(ZKVVDevice), QM_LAYOUT(200, 120)},
        {"sizeof(ZKVSPDevice)", sizeof(ZKVSPDevice), QM_LAYOUT(208, 128)},
        {"sizeof(SPModbus)", sizeof(SPModbus), QM_LAYOUT(2464, 2384)},
        {"sizeof(Provider)", sizeof(Provider), QM_LAYOUT(8, 4)},
        {"sizeof(ZKVSPDeviceProvider)", sizeof(ZKVSPDeviceProvider), QM_LAYOUT(8, 4)},
        {"sizeof(rule_value)", sizeof(rule_value), QM_LAYOUT(40, 32)},
        {"sizeof(ttime)", sizeof(ttime), QM_LAYOUT(7, 7)},
        {"m_dev_id", p.at(p.m_dev_id), QM_LAYOUT(8, 4)},
        {"m_device_type", p.at(p.m_device_type), QM_LAYOUT(16, 8)},
        {"m_use_controller_db", p.at(p.m_use_controller_db), QM_LAYOUT(48, 32)},
        {"m_alarm_seq", p.at(p.m_alarm_seq), QM_LAYOUT(50, 34)},
        {"m_cycle_time", p.at(p.m_cycle_time), QM_LAYOUT(56, 40)},
        {"m_data_ready", p.at(p.m_data_ready), QM_LAYOUT(64, 48)},
        {"m_rule_vector", p.at(p.m_rule_vector), QM_LAYOUT(72, 52)},
        {"m_threshold_result", p.at(p.m_threshold_result), QM_LAYOUT(96, 64)},
        {"m_level_map", p.at(p.m_level_map), QM_LAYOUT(104, 68)},
        {"m_value_map", p.at(p.m_value_map), QM_LAYOUT(152, 92)},
        {"m_line_speed", p.at(p.m_line_speed), QM_LAYOUT(200, 116)},
        {"m_byte_setting", p.at(p.m_byte_setting), QM_LAYOUT(204, 120)},
        {"m_poll_step", p.at(p.m_poll_step), QM_LAYOUT(208, 124)},
        {"m_tab_bits", p.at(p.m_tab_bits), QM_LAYOUT(212, 128)},
        {"m_tab_registers", p.at(p.m_tab_registers), QM_LAYOUT(2212, 2128)},
    };
    for (const Pin& pin : pins) EXPECT_EQ(pin.actual, pin.expected) << pin.what;
}

TEST(FrameworkLayout, SizesAndMemberOffsetsArePinned)
{
#ifdef QM_LAYOUT_UNPINNED
    GTEST_SKIP() << "no layout pinned for this target";
#endif
    Probe().expect_pinned_layout();
}

// The stand-in's per-device state lives beside the object, keyed by its
// address: a device built where a deleted one stood must start afresh.
TEST(FrameworkLayout, StandInStateGoesWithTheDevice)
{
    std::aligned_storage_t<sizeof(Probe), alignof(Probe)> storage;
    auto* first = new (&storage) Probe;
    first->InitV("first");
    first->OpenPort();
    first->~Probe();

    auto* second = new (&storage) Probe;
    EXPECT_EQ(second->name(), "");
    EXPECT_EQ(second->port_open_count(), 0u);
    second->~Probe();
}

}  // namespace
