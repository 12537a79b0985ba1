// How the simulated unit misbehaves on request: the faults a test or a bench
// asks for, and the line that counts requests and picks the ones they hit.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

// Requests are counted from 1 as they arrive, whether answered or not.
struct UnitFaults {
    long silent_after = -1;      // requests answered before the unit goes quiet; -1: never
    int exception_address = -1;  // coil and register reads covering it get exception 2; -1: none
    long drop_every = 0;         // every Nth request gets no answer; 0: none
    bool wrong_echo = false;     // single-register writes are stored, but echoed as value + 1

    // Faults drawn per request, the same draws for the same seed.
    double drop = 0;             // the chance that a request gets no answer (a lost frame)
    double duplicate = 0;        // the chance that an answer goes out twice, back to back
    int duplicate_late_ms = 0;   // a duplicated answer's second copy goes out this late instead
    unsigned long fault_seed = 1;  // seeds the draws of drop and duplicate

    // Faults of a real line, on the requests chosen below: all of them, or
    // only reads covering `address`; of those, every Nth (`every`; 0: each).
    int late_ms = 0;            // the answer goes out this late
    bool ignore_while_late = false;  // requests arriving meanwhile are dropped, not queued
    bool bad_crc = false;       // the answer's CRC is wrong
    bool other_slave = false;   // the answer comes from slave id + 1
    bool truncated = false;     // the answer's last 3 bytes are not sent
    int trickle_ms = 0;         // the answer goes out a byte at a time, this far apart
    int address = -1;
    long every = 0;
};

// True when `pdu` (function code, first address, count) is a read of coils
// or holding registers covering `address`.
bool read_covers(const uint8_t* pdu, int address);

// The faults as the line applies them, request by request. Safe to set
// while another thread serves.
class FaultLine {
public:
    // What becomes of one request.
    struct Turn {
        bool answered = true;     // false: the unit stays quiet
        bool duplicated = false;  // the answer goes out twice
        bool line_faults = false;  // the answer is late, spoilt or slow
        UnitFaults faults;
    };

    void set(const UnitFaults& faults);
    // Counts a request as it arrives.
    long count() { return ++requests_; }
    long requests() const { return requests_; }
    // The fate of request number `n` (from count()), whose PDU is `pdu`,
    // for a unit that would answer it.
    Turn turn(long n, const uint8_t* pdu);

private:
    bool chosen_for_line_faults(const uint8_t* pdu);  // with the lock held

    std::mutex mutex_;  // the faults, the chosen count and the draws
    UnitFaults faults_;
    std::mt19937 draws_;
    std::atomic<long> requests_{0};
    long chosen_requests_ = 0;  // requests that matched the line faults' address
};

// The line faults that change an answer's bytes: another slave id, a bad
// CRC (both RTU only), the end cut off.
void spoil(std::vector<uint8_t>& frame, const UnitFaults& faults, bool rtu);

// The frame followed by itself, as a unit sends an answer twice.
std::vector<uint8_t> twice(const std::vector<uint8_t>& frame);
