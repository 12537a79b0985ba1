// A driver on the stand-in host as the benchmarks run it: an in-memory unit
// holding a running unit's kind of values, and a host sink that does nothing.
#pragma once

#include "driver/QM4700RX2VA9.hpp"
#include "host/memory_unit.hpp"
#include "host/sink.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <iostream>
#include <memory>
#include <streambuf>

// Every register the chain reads holds a value of a plausible size, and a
// few coils are set, so the report renders texts and alarms of both states.
inline std::shared_ptr<MemoryUnit> make_bench_unit()
{
    auto unit = std::make_shared<MemoryUnit>();
    for (const PollRead& read : kPollingChain)
        for (int a = read.address; a < read.address + read.count; ++a) {
            if (read.kind == ReadKind::Registers)
                unit->set_register(a, static_cast<uint16_t>(200 + (a * 7) % 400));
            else
                unit->set_coil(a, a % 17 == 0 ? 1 : 0);
        }
    return unit;
}

class BenchDevice {
    // Declared first: the driver is destroyed before its controller and unit.
    HostSink sink_;
    ZKVController controller_{&sink_};
    std::shared_ptr<MemoryUnit> unit_;
    boost::posix_time::ptime cycle_time_{boost::gregorian::date(2024, 1, 1)};

public:
    explicit BenchDevice(std::shared_ptr<MemoryUnit> unit = make_bench_unit(), unsigned int id = 7)
        : unit_(std::move(unit))
    {
        driver.Init(&controller_, id);
        driver.attach_link(unit_);
    }

    // RefreshStatus sends the first read; each process() delivers one answer
    // and sends the next, the last one completes the cycle.
    void run_cycle()
    {
        driver.RefreshStatus();
        while (driver.IsProcessing()) driver.process();
    }

    // A new cycle time in whole seconds: the next 801 or 803 rebuilds.
    void advance_cycle_time()
    {
        cycle_time_ += boost::posix_time::seconds(1);
        driver.set_cycle_time(cycle_time_);
    }

    QM4700RX2VA9 driver;
};

// The driver writes log lines to standard output each cycle and per
// DeviceIoControl; while one lives, they go nowhere, so the terminal's cost
// stays out of the figures.
class QuietStdout {
public:
    QuietStdout() : saved_(std::cout.rdbuf(&null_)) {}
    ~QuietStdout() { std::cout.rdbuf(saved_); }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return c; }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    };
    NullBuffer null_;
    std::streambuf* saved_;
};
