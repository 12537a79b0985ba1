// The air-conditioning unit as a Modbus slave, for bench tests without the
// unit: every coil and holding register answers (address 0 to 65535), from
// the state of a running unit, and writes are stored and echoed. It serves
// either Modbus TCP (any number of clients, any unit id) or one RTU line
// (its slave id only, or several units on that line, each with its own
// state), and misbehaves on request.
#pragma once

#include "host/link_settings.hpp"

#include <json/json.h>
#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The serial line the unit serves, described as the host describes its own
// (device, baud, parity, data and stop bits, slave id; the rest unused).
using SerialLine = LinkSettings;

// Requests are counted from 1 as they arrive, whether answered or not.
struct UnitFaults {
    long silent_after = -1;      // requests answered before the unit goes quiet; -1: never
    int exception_address = -1;  // coil and register reads covering it get exception 2; -1: none
    long drop_every = 0;         // every Nth request gets no answer; 0: none
    bool wrong_echo = false;     // single-register writes are stored, but echoed as value + 1

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

class UnitServer {
public:
    UnitServer();  // the state of a running unit, no alarms
    ~UnitServer();
    UnitServer(const UnitServer&) = delete;
    UnitServer& operator=(const UnitServer&) = delete;

    // Listens on host:port (port 0: a free one) and returns the bound port.
    // Throws std::runtime_error naming the address.
    int listen_tcp(const std::string& host, int port);
    // Opens the serial device. Throws std::runtime_error naming the device.
    void open_rtu(const SerialLine& line);
    // Answers requests until `stop` is set, looking at it every 50 ms at most.
    // Throws std::runtime_error if the serial line is lost.
    void serve(const std::atomic<bool>& stop);

    // Safe to call while another thread serves. Addresses outside 0 to
    // 65535 throw std::out_of_range.
    void set_coil(int address, bool on);
    void set_register(int address, uint16_t value);
    bool coil(int address) const;
    uint16_t reg(int address) const;
    void set_faults(const UnitFaults& faults);

    // Another unit on the RTU line, answering `slave`: its state starts as a
    // copy of this unit's and is its own from then on. Line faults and
    // request counts are the line's, shared by all its units.
    void add_slave(int slave);
    // The unit answering `slave` (this one or an added one) never answers.
    void set_silent(int slave);
    // As apply_state, for the unit answering `slave`.
    void apply_state(const Json::Value& state, int slave);
    long requests() const { return requests_; }

    // {"coils": {"276": 1}, "regs": {"11": 250}}, decimal addresses, over
    // the current state. Throws std::invalid_argument naming the bad entry;
    // nothing is applied then.
    void apply_state(const Json::Value& state);

private:
    void serve_tcp(const std::atomic<bool>& stop);
    void serve_rtu(const std::atomic<bool>& stop);
    // One request frame for any slave id: its length, 0 for a garbled frame
    // or none, -1 when the line is lost.
    int receive_request(uint8_t* query);
    modbus_mapping_t* mapping_of(int slave);
    // Counts the request, applies the faults and replies: false when the
    // reply could not be sent.
    bool answer(const uint8_t* query, int length);
    // The reply libmodbus would send to `query`, as bytes; empty on failure.
    std::vector<uint8_t> render(const uint8_t* query, int length);
    bool chosen_for_line_faults(const uint8_t* pdu);
    void spoil(std::vector<uint8_t>& frame, const UnitFaults& faults) const;
    bool send_frame(const std::vector<uint8_t>& frame, int gap_ms);
    bool pause(int ms) const;  // false when stopped meanwhile

    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_;
    int slave_ = -1;  // this unit's slave id on an RTU line
    std::map<int, modbus_mapping_t*> other_units_;  // by slave id
    std::set<int> silent_;
    int listener_ = -1;
    std::vector<int> clients_;
    mutable std::mutex mutex_;  // the mapping and the faults
    UnitFaults faults_;
    std::atomic<long> requests_{0};
    long chosen_requests_ = 0;  // requests that matched the line faults' address
    const std::atomic<bool>* stop_ = nullptr;
};
