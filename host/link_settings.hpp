// A Modbus line as the stand-in host and the tools describe it: the settings,
// their ranges and messages, their JSON form (the device JSON's "link") and
// the units on the line. Nothing else checks a slave id, a parity, a data-bit
// count or a line speed.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

struct LinkSettings {
    enum class Kind { Tcp, Rtu };
    Kind kind = Kind::Tcp;
    std::string host = "127.0.0.1";
    int port = 502;
    std::string device;
    int baud = 9600;
    char parity = 'N';
    int data_bits = 8;
    int stop_bits = 1;
    int slave = 1;
    // Several units on the one line, `slave` the first of them; empty for one.
    std::vector<int> slaves;
    int timeout_ms = 500;
    // After a failed request on a serial line, the line must stay quiet this
    // long before the next request; -1 (not given): twice the response timeout.
    int guard_ms = -1;
    // After each answer on a serial line, the line stays silent for
    // frame_silence_us() before the next request. Turned off only by the
    // benchmark that measures what it costs; not a member of the link's JSON.
    bool frame_silence = true;

    // "tcp 127.0.0.1:1502" or "rtu /dev/ttyUSB0 9600 8N1", for messages.
    std::string describe() const;
    // The serial line alone, "/dev/ttyUSB0 9600 8N1", and its framing,
    // "9600 8N1"; inline, so the simulated unit names its line alike
    // without linking the host.
    std::string serial_text() const { return device + " " + framing_text(); }
    std::string framing_text() const
    {
        return std::to_string(baud) + " " + std::to_string(data_bits) + parity + std::to_string(stop_bits);
    }
    int effective_guard_ms() const;
    // The silence that ends a frame on a serial line: 3.5 character times
    // (start, data, parity and stop bits) at the line's speed; above 19,200
    // baud the fixed 1750 us.
    int frame_silence_us() const;
    // The slave ids of the units on the line: `slaves`, or `slave` alone.
    std::vector<int> units() const { return slaves.empty() ? std::vector<int>{slave} : slaves; }
};

// A unit's slave id: 0 is the broadcast address, 248 to 255 are reserved.
constexpr int kLowestSlaveId = 1;
constexpr int kHighestSlaveId = 247;
constexpr bool is_unit_slave_id(long long id) { return id >= kLowestSlaveId && id <= kHighestSlaveId; }

// Longest response timeout and guard accepted, in ms.
constexpr int kMaxLinkTimeoutMs = 10000;

// The checks of one value each. They return it, or throw std::invalid_argument
// with the reason alone ("must be 1 to 247, not 0"), for the caller to put
// after the option or the member it came from.
int checked_slave_id(long long id);
// Each id once; a single id is a list of one.
std::vector<int> checked_slave_ids(const std::vector<long long>& ids);
int checked_baud(long long baud);
int checked_data_bits(long long bits);
int checked_stop_bits(long long bits);
int checked_timeout_ms(long long ms);
int checked_guard_ms(long long ms);
// `lowest` 0 where port 0 means a free one (a listening unit).
int checked_port(long long port, int lowest = 1);
// N, E or O; also none, even or odd, in any case, as mbpoll takes them.
char parity_from_text(const std::string& text);

// HOST:PORT; an IPv6 host in brackets, "[::1]:502". The port is left as
// text for the caller's integer reading.
struct HostPort {
    std::string host;
    std::string port;
};
HostPort split_host_port(const std::string& text);
// The other way: "127.0.0.1:502", "[::1]:502".
std::string host_port_text(const std::string& host, int port);

// The device JSON's member holding the link.
inline constexpr char kLinkMember[] = "link";

// Reads a "link" object (members in the README) strictly: an unknown member,
// a value of the wrong type, a number where an integer is wanted or a value
// out of range throws std::invalid_argument naming its path, `path` and the
// member ("link.baud: ...", "lines[1].link.slaves[2]: ...").
LinkSettings parse_link_settings(const Json::Value& link, const std::string& path = "link");
// The object parse_link_settings reads back to the same settings.
Json::Value link_settings_json(const LinkSettings& settings);
