// The simulated unit on the wire: a Modbus slave serving either Modbus TCP
// (any number of clients, any unit id) or one RTU line (its slave id only,
// or several units on that line, each with its own state), with the faults
// asked of it. The unit's state is sim_unit.hpp's; the faults are
// unit_faults.hpp's.
#pragma once

#include "host/link_settings.hpp"
#include "tools/sim/sim_unit.hpp"
#include "tools/sim/unit_faults.hpp"

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The serial line the unit serves, described as the host describes its own
// (device, baud, parity, data and stop bits, slave id; the rest unused).
using SerialLine = LinkSettings;

class UnitServer : public SimUnit {
public:
    UnitServer() = default;
    ~UnitServer();

    // Listens on host:port (port 0: a free one) and returns the bound port.
    // Throws std::runtime_error naming the address.
    int listen_tcp(const std::string& host, int port);
    // Opens the serial device. Throws std::runtime_error naming the device.
    void open_rtu(const SerialLine& line);
    // Answers requests until `stop` is set, looking at it every 50 ms at most.
    // Throws std::runtime_error if the serial line is lost.
    void serve(const std::atomic<bool>& stop);

    // Line faults and request counts are the line's, shared by all its units.
    void set_faults(const UnitFaults& faults) { faults_.set(faults); }
    long requests() const { return faults_.requests(); }

private:
    void serve_tcp(const std::atomic<bool>& stop);
    void serve_rtu(const std::atomic<bool>& stop);
    // One request frame for any slave id: its length, 0 for a garbled frame
    // or none, -1 when the line is lost.
    int receive_request(uint8_t* query);
    // Counts the request, applies the faults and replies: false when the
    // reply could not be sent.
    bool answer(const uint8_t* query, int length);
    // The reply libmodbus would send to `query`, as bytes; empty on failure.
    std::vector<uint8_t> render(const uint8_t* query, int length, const UnitFaults& faults);
    // The answer with the line faults of its turn: late, spoilt or slow.
    bool send_answer(std::vector<uint8_t>& frame, const FaultLine::Turn& turn);
    bool send_frame(const std::vector<uint8_t>& frame, int gap_ms);
    bool pause(int ms) const;  // false when stopped meanwhile

    modbus_t* ctx_ = nullptr;
    int listener_ = -1;
    std::vector<int> clients_;
    FaultLine faults_;
    const std::atomic<bool>* stop_ = nullptr;
};
