// The stand-in host's Modbus master: libmodbus over RTU or TCP.
#pragma once

#include "host/link.hpp"

#include <json/json.h>

#include <functional>
#include <memory>
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
    int timeout_ms = 500;
    // After a failed request on a serial line, the line must stay quiet this
    // long before the next request; -1: twice the response timeout.
    int guard_ms = -1;

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
};

// Longest response timeout and guard accepted, in ms.
constexpr int kMaxLinkTimeoutMs = 10000;

// Reads the device JSON's "link" object (keys in the README); throws
// std::invalid_argument naming the offending key.
LinkSettings parse_link_settings(const Json::Value& link);
Json::Value link_settings_json(const LinkSettings& settings);

std::shared_ptr<ModbusLink> make_libmodbus_link(const LinkSettings& settings);

// Several units on one line (an RS-485 bus, or a TCP gateway to one): one
// link per slave id, all over one open line, opened and locked once; each
// request carries its link's slave id. Requests never overlap, as the
// links are used from one thread (a line's own); a failure's guard is the
// line's.
std::vector<std::shared_ptr<ModbusLink>> make_shared_line_links(const LinkSettings& settings,
                                                                const std::vector<int>& slaves);

// Asked every few tens of ms while a link waits for an answer or for the line
// to go quiet; when it says true, the request fails at once. One for the
// process, as stop signals are; none by default. Safe to set while links
// wait on other threads; the check itself is called from those threads.
void set_link_stop_check(std::function<bool()> check);
