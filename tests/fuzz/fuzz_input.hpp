// What the fuzz targets share: a reader over the fuzzer's bytes that yields
// zeros once they run out, a driver on an in-memory unit, and a standard
// output that goes nowhere (the driver logs every command and cycle; see
// fuzz_setup.cpp).
#pragma once

#include "driver/QM4700RX2VA9.hpp"
#include "host/memory_unit.hpp"
#include "host/sink.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return pos_ < size_; }
    std::size_t left() const { return size_ - pos_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int16_t int16()
    {
        const uint8_t low = byte();
        return static_cast<int16_t>(low | (byte() << 8));
    }
    std::vector<uint8_t> bytes(std::size_t n)
    {
        n = std::min(n, left());
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// One driver as the host sets it up, on a unit that answers every read.
struct FuzzedDriver {
    explicit FuzzedDriver(unsigned int device_id) : controller(&sink)
    {
        driver.Init(&controller, device_id);
        driver.attach_link(unit);
    }

    HostSink sink;
    ZKVController controller;
    std::shared_ptr<MemoryUnit> unit = std::make_shared<MemoryUnit>();
    QM4700RX2VA9 driver;
};
