// What the fuzz targets share: a reader over the fuzzer's bytes that yields
// zeros once they run out, and a standard output that goes nowhere (the
// driver logs every command and cycle).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <streambuf>
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

inline void discard_stdout()
{
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return c; }
    };
    // Never destroyed: std::cout still flushes into it at exit.
    static NullBuffer* const null_buffer = new NullBuffer;
    std::cout.rdbuf(null_buffer);
}
