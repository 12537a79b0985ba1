#include "host/link_settings.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

namespace {

constexpr int kMinGuardMs = 20;  // a few characters even at 1200 baud

// The termios rates libmodbus 3.1.6 sets; it opens a line at any other
// (50, 75, 134, 150, 200, 1800, 2000000 among them) at 9600, silently.
constexpr int kLineSpeeds[] = {110,    300,    600,    1200,    2400,    4800,    9600,    19200,
                               38400,  57600,  115200, 230400,  460800,  500000,  576000,  921600,
                               1000000, 1152000, 1500000, 2500000, 3000000, 3500000, 4000000};

std::string line_speed_list()
{
    std::string list;
    for (int speed : kLineSpeeds) list += (list.empty() ? "" : ", ") + std::to_string(speed);
    return list;
}

int in_range(long long value, long long low, long long high)
{
    if (value < low || value > high)
        throw std::invalid_argument("must be " + std::to_string(low) + " to " + std::to_string(high) + ", not " +
                                    std::to_string(value));
    return static_cast<int>(value);
}

std::string lower_case(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string json_text(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// A member's name in a message: as written when plain, else quoted and
// escaped as JSON, so the message stays one line.
std::string name_shown(const std::string& name)
{
    const bool plain = !name.empty() && name.size() <= 40 &&
                       std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7f && c != '"'; });
    return plain ? name : json_text(Json::Value(name.substr(0, 40)));
}

// A JSON integer, not a number that happens to be whole ("port": 1.5e3).
long long integer_member(const Json::Value& v)
{
    const bool integer = v.type() == Json::intValue || v.type() == Json::uintValue;
    if (!integer) throw std::invalid_argument("must be an integer, not " + json_text(v));
    return v.isInt64() ? v.asInt64() : std::numeric_limits<long long>::max();
}

std::string text_member(const Json::Value& v)
{
    if (!v.isString()) throw std::invalid_argument("must be a string, not " + json_text(v));
    return v.asString();
}

// Runs `read`, putting `where` before the reason it refuses a value for.
template <typename Read>
void reading(const std::string& where, Read read)
{
    try {
        read();
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(where + ": " + e.what());
    }
}

void read_slaves(const Json::Value& v, const std::string& where, LinkSettings& s)
{
    if (!v.isArray() || v.empty())
        throw std::invalid_argument(where + ": must be a list of slave ids, not " + json_text(v));
    std::vector<long long> ids;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i)
        reading(where + "[" + std::to_string(i) + "]", [&] { ids.push_back(checked_slave_id(integer_member(v[i]))); });
    std::vector<int> units;
    reading(where, [&] { units = checked_slave_ids(ids); });
    s.slave = units.front();
    if (units.size() > 1) s.slaves = units;
}

// Reads a member's value into the settings, or throws the reason it is refused.
using MemberReader = void (*)(const Json::Value&, LinkSettings&);

struct Member {
    const char* name;
    MemberReader read;  // null: "slaves", whose entries name their own index
};

const Member kMembers[] = {
    {"type",
     [](const Json::Value& v, LinkSettings& s) {
         const std::string type = text_member(v);
         if (type != "tcp" && type != "rtu")
             throw std::invalid_argument("must be \"tcp\" or \"rtu\", not " + json_text(v));
         s.kind = type == "tcp" ? LinkSettings::Kind::Tcp : LinkSettings::Kind::Rtu;
     }},
    {"host", [](const Json::Value& v, LinkSettings& s) { s.host = text_member(v); }},
    {"port", [](const Json::Value& v, LinkSettings& s) { s.port = checked_port(integer_member(v)); }},
    {"device", [](const Json::Value& v, LinkSettings& s) { s.device = text_member(v); }},
    {"baud", [](const Json::Value& v, LinkSettings& s) { s.baud = checked_baud(integer_member(v)); }},
    {"parity", [](const Json::Value& v, LinkSettings& s) { s.parity = parity_from_text(text_member(v)); }},
    {"data_bits", [](const Json::Value& v, LinkSettings& s) { s.data_bits = checked_data_bits(integer_member(v)); }},
    {"stop_bits", [](const Json::Value& v, LinkSettings& s) { s.stop_bits = checked_stop_bits(integer_member(v)); }},
    {"slave", [](const Json::Value& v, LinkSettings& s) { s.slave = checked_slave_id(integer_member(v)); }},
    {"slaves", nullptr},
    {"timeout_ms",
     [](const Json::Value& v, LinkSettings& s) { s.timeout_ms = checked_timeout_ms(integer_member(v)); }},
    {"guard_ms", [](const Json::Value& v, LinkSettings& s) { s.guard_ms = checked_guard_ms(integer_member(v)); }},
};

const Member* member_named(const std::string& name)
{
    for (const Member& m : kMembers)
        if (name == m.name) return &m;
    return nullptr;
}

std::string member_list()
{
    std::string list;
    for (const Member& m : kMembers) list += (list.empty() ? "" : ", ") + std::string(m.name);
    return list;
}

}  // namespace

std::string LinkSettings::describe() const
{
    if (kind == Kind::Tcp) return "tcp " + host_port_text(host, port);
    return "rtu " + serial_text();
}

int LinkSettings::effective_guard_ms() const
{
    return guard_ms >= 0 ? guard_ms : std::max(2 * timeout_ms, kMinGuardMs);
}

int LinkSettings::frame_silence_us() const
{
    constexpr int kFastLineBaud = 19200;
    constexpr int kFastLineSilenceUs = 1750;
    if (baud > kFastLineBaud) return kFastLineSilenceUs;
    const int character_bits = 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits;
    return static_cast<int>((35LL * character_bits * 1000000 / 10 + baud - 1) / baud);
}

int checked_slave_id(long long id)
{
    // A request to 0 goes to every unit on the line and none answers: a
    // write would change them all and confirm nothing.
    if (id == 0)
        throw std::invalid_argument("must be 1 to 247, not 0, the broadcast address, which every unit obeys and none answers");
    return in_range(id, kLowestSlaveId, kHighestSlaveId);
}

std::vector<int> checked_slave_ids(const std::vector<long long>& ids)
{
    std::vector<int> checked;
    for (long long id : ids) {
        const int slave = checked_slave_id(id);
        if (std::find(checked.begin(), checked.end(), slave) != checked.end())
            throw std::invalid_argument("lists " + std::to_string(slave) + " twice");
        checked.push_back(slave);
    }
    return checked;
}

int checked_baud(long long baud)
{
    if (std::find(std::begin(kLineSpeeds), std::end(kLineSpeeds), baud) == std::end(kLineSpeeds))
        throw std::invalid_argument("must be one of the line speeds " + line_speed_list() + ", not " +
                                    std::to_string(baud));
    return static_cast<int>(baud);
}

int checked_data_bits(long long bits) { return in_range(bits, 5, 8); }

int checked_stop_bits(long long bits)
{
    if (bits != 1 && bits != 2) throw std::invalid_argument("must be 1 or 2, not " + std::to_string(bits));
    return static_cast<int>(bits);
}

int checked_timeout_ms(long long ms) { return in_range(ms, 1, kMaxLinkTimeoutMs); }

int checked_guard_ms(long long ms) { return in_range(ms, 0, kMaxLinkTimeoutMs); }

int checked_port(long long port, int lowest) { return in_range(port, lowest, 65535); }

char parity_from_text(const std::string& text)
{
    const std::string given = lower_case(text);
    if (given == "n" || given == "none") return 'N';
    if (given == "e" || given == "even") return 'E';
    if (given == "o" || given == "odd") return 'O';
    throw std::invalid_argument("must be N, E or O (or none, even, odd), not " + json_text(Json::Value(text)));
}

std::string host_port_text(const std::string& host, int port)
{
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

HostPort split_host_port(const std::string& text)
{
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    // A bare IPv6 address has colons of its own: without brackets its port
    // cannot be told from its last group.
    if (host.empty() || colon + 1 == text.size() || host.find_first_of("[]") != std::string::npos ||
        (host.find(':') != std::string::npos && text.front() != '['))
        throw std::invalid_argument("needs HOST:PORT (an IPv6 host in brackets, [::1]:PORT), not " +
                                    json_text(Json::Value(text)));
    return {host, text.substr(colon + 1)};
}

LinkSettings parse_link_settings(const Json::Value& link, const std::string& path)
{
    if (!link.isObject()) throw std::invalid_argument(path + ": must be an object, not " + json_text(link));
    if (link.isMember("slave") && link.isMember("slaves"))
        throw std::invalid_argument(path + ".slaves: give \"slave\" or \"slaves\", not both");
    LinkSettings s;
    for (const std::string& name : link.getMemberNames()) {
        const Member* member = member_named(name);
        if (!member)
            throw std::invalid_argument(path + "." + name_shown(name) + ": unknown member (" + member_list() + ")");
        const std::string where = path + "." + name;
        if (member->read)
            reading(where, [&] { member->read(link[name], s); });
        else
            read_slaves(link[name], where, s);
    }
    if (s.kind == LinkSettings::Kind::Rtu && s.device.empty())
        throw std::invalid_argument(path + ".device: an rtu link needs its serial device");
    return s;
}

Json::Value link_settings_json(const LinkSettings& s)
{
    Json::Value link(Json::objectValue);
    if (s.kind == LinkSettings::Kind::Tcp) {
        link["type"] = "tcp";
        link["host"] = s.host;
        link["port"] = s.port;
    } else {
        link["type"] = "rtu";
        link["device"] = s.device;
        link["baud"] = s.baud;
        link["parity"] = std::string(1, s.parity);
        link["data_bits"] = s.data_bits;
        link["stop_bits"] = s.stop_bits;
    }
    if (s.slaves.empty()) {
        link["slave"] = s.slave;
    } else {
        Json::Value& list = link["slaves"] = Json::Value(Json::arrayValue);
        for (int slave : s.slaves) list.append(slave);
    }
    link["timeout_ms"] = s.timeout_ms;
    if (s.guard_ms >= 0) link["guard_ms"] = s.guard_ms;
    return link;
}
