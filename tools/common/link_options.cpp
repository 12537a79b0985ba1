#include "tools/common/link_options.hpp"

#include "tools/common/arguments.hpp"

#include <climits>
#include <stdexcept>

namespace {

// The option's integer, checked by the settings' `check`; its refusal
// names the option.
template <typename Check>
int checked_option(const std::string& option, const std::string& text, Check check)
{
    const long long value = parse_integer(option, text, LLONG_MIN, LLONG_MAX);
    try {
        return check(value);
    } catch (const std::invalid_argument& e) {
        throw UsageError(option + " " + e.what());
    }
}

void take_tcp(LinkEnd end, const std::string& text, LinkOptions& o)
{
    HostPort where;
    try {
        where = split_host_port(text);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--tcp ") + e.what());
    }
    const int lowest = end == LinkEnd::Unit ? 0 : 1;
    o.tcp_host = where.host;
    o.tcp_port = checked_option("--tcp port", where.port, [lowest](long long p) { return checked_port(p, lowest); });
}

void take_rtu(const std::string& device, LinkOptions& o)
{
    if (device.empty()) throw UsageError("--rtu needs a serial device path");
    o.rtu_device = device;
}

void take_parity(const std::string& text, LinkOptions& o)
{
    try {
        o.parity = parity_from_text(text);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--parity ") + e.what());
    }
}

// A TCP link has no line speed or framing: an option for one would be
// ignored, and the line taken for set up as asked.
void refuse_serial_options(const LinkOptions& o)
{
    const char* given = o.baud ? "--baud" : o.parity ? "--parity" : o.data_bits ? "--data-bits"
                      : o.stop_bits ? "--stop-bits" : nullptr;
    if (given) throw UsageError(std::string(given) + " is for an RTU line (--rtu DEVICE); a TCP link has none");
}

}  // namespace

int parse_slave_id(const std::string& option, const std::string& text)
{
    return checked_option(option, text, checked_slave_id);
}

std::vector<int> parse_slave_ids(const std::string& option, const std::string& text)
{
    std::vector<long long> ids;
    for (std::size_t start = 0, comma = 0; start <= text.size(); start = comma + 1) {
        comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        ids.push_back(parse_slave_id(option, text.substr(start, comma - start)));
    }
    try {
        return checked_slave_ids(ids);
    } catch (const std::invalid_argument& e) {
        throw UsageError(option + " " + e.what());
    }
}

bool is_link_option(LinkEnd end, const std::string& name)
{
    for (const char* option : {"--tcp", "--rtu", "--baud", "--parity", "--data-bits", "--stop-bits", "--slave"})
        if (name == option) return true;
    return name == "--timeout-ms" && end == LinkEnd::Host;
}

void take_link_option(const std::string& name, const std::string& value, LinkEnd end, LinkOptions& o)
{
    if (name == "--tcp") take_tcp(end, value, o);
    else if (name == "--rtu") take_rtu(value, o);
    else if (name == "--baud") o.baud = checked_option(name, value, checked_baud);
    else if (name == "--parity") take_parity(value, o);
    else if (name == "--data-bits") o.data_bits = checked_option(name, value, checked_data_bits);
    else if (name == "--stop-bits") o.stop_bits = checked_option(name, value, checked_stop_bits);
    else if (name == "--slave") o.slaves = parse_slave_ids(name, value);
    else if (name == "--timeout-ms") o.timeout_ms = checked_option(name, value, checked_timeout_ms);
}

LinkSettings link_over(const LinkOptions& o, const std::optional<LinkSettings>& configured)
{
    if (o.tcp_host && o.rtu_device) throw UsageError("give --tcp or --rtu, not both");
    if (!configured && !o.tcp_host && !o.rtu_device)
        throw UsageError("no link: give --tcp HOST:PORT or --rtu DEVICE, or a \"link\" in --config");
    LinkSettings s = configured.value_or(LinkSettings{});
    if (o.tcp_host) {
        s.kind = LinkSettings::Kind::Tcp;
        s.host = *o.tcp_host;
        s.port = *o.tcp_port;
    }
    if (o.rtu_device) {
        s.kind = LinkSettings::Kind::Rtu;
        s.device = *o.rtu_device;
    }
    if (s.kind == LinkSettings::Kind::Tcp) refuse_serial_options(o);
    if (o.baud) s.baud = *o.baud;
    if (o.parity) s.parity = *o.parity;
    if (o.data_bits) s.data_bits = *o.data_bits;
    if (o.stop_bits) s.stop_bits = *o.stop_bits;
    if (o.timeout_ms) s.timeout_ms = *o.timeout_ms;
    if (!o.slaves.empty()) {
        s.slave = o.slaves.front();
        s.slaves = o.slaves.size() > 1 ? o.slaves : std::vector<int>{};
    }
    return s;
}
