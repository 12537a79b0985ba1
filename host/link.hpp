// The stand-in host's view of a Modbus line: one request, one answer.
// Implementations: LibmodbusLink (RTU or TCP) and MemoryUnit (tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Why a request failed: its kind is for the host to act on, its text for
// people. The host decides on the kind, never on the text.
struct LinkFailure {
    enum class Kind {
        None,
        NoAnswer,   // nothing came back within the response timeout
        Exception,  // the unit answered with an exception: it is there, and refuses this request
        Garbled,    // what came back (or kept coming) is not a whole answer to this request
        LineDown,   // the line cannot be opened, or failed under the request; reopened at the next
        Stopped,    // a stop was asked for while the request waited
        NotSent,    // the request cannot be sent as asked (no line, a count out of range)
    };

    Kind kind = Kind::None;
    int exception_code = 0;  // the unit's, for Kind::Exception
    std::string request;     // "read registers at 1500 to 1503"; empty when the line failed before one
    std::string reason;

    std::string text() const { return request.empty() ? reason : request + ": " + reason; }
};

// Input found waiting on a serial line when a request was about to go out,
// discarded before it: a frame no request was waiting for (an answer sent
// twice, a late one), which would otherwise be taken for the next answer.
struct StrayInput {
    static constexpr std::size_t kKeptBytes = 256;  // of the last discard, enough for any frame

    long discards = 0;          // requests before which input was found waiting
    long bytes = 0;             // bytes discarded in all
    std::vector<uint8_t> last;  // the last discard's first bytes: a frame's slave id leads
};

class ModbusLink {
public:
    virtual ~ModbusLink() = default;

    // Each call performs one request and waits for its answer. On failure
    // it returns false and failure() says what went wrong.
    virtual bool read_bits(int address, int count, uint8_t* dest) = 0;
    virtual bool read_registers(int address, int count, uint16_t* dest) = 0;
    // The echo as the unit sent it: the coil state (1, 0, or the raw value
    // when it is neither), or the register value.
    virtual bool write_bit(int address, bool on, uint16_t& echoed_state) = 0;
    virtual bool write_register(int address, uint16_t value, uint16_t& echoed_value) = 0;
    // The confirmation frame's function code and register count.
    virtual bool write_registers(int address, int count, const uint16_t* values,
                                 uint16_t& function_code, uint16_t& confirmed_count) = 0;

    // Opens the line if it is not open; false (with failure()) if it cannot be.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual const LinkFailure& failure() const = 0;
    // What the line discarded before requests; null for a link that never
    // does (TCP, in memory). Links sharing one line share it.
    virtual const StrayInput* stray_input() const { return nullptr; }
};
