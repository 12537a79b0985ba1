// The polling path allocates nothing: a gateway runs many drivers on a small
// controller, every few seconds. This binary counts every operator new.
#include "support/driver_harness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size)
{
    if (counting) ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(PollingAllocations, StepsElevenToFiftyFourAllocateNothing)
{
    counting = true;
    delete new std::string(100, 'x');
    counting = false;
    ASSERT_EQ(allocations, 2) << "the counting operator new is in place";

    DriverHarness h;
    for (int a = 0; a < 2100; ++a) h.unit->set_register(a, static_cast<uint16_t>(a));
    captured_stdout([&] { h.run_cycle(); });  // first cycle: one-time set-up (clock, names)

    h.driver.RefreshStatus();
    allocations = 0;
    counting = true;
    while (h.driver.poll_step() < 55 && h.driver.IsProcessing()) h.driver.process();
    counting = false;
    EXPECT_EQ(h.driver.poll_step(), 55);
    EXPECT_EQ(allocations, 0);

    captured_stdout([&] { h.driver.process(); });
    EXPECT_EQ(h.sink.published.size(), 2u);
}

}  // namespace
