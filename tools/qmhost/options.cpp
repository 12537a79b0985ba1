#include "tools/qmhost/options.hpp"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

template <typename Int>
Int parse_integer(const std::string& option, const std::string& text, long long low, long long high)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.empty())
        throw UsageError(option + " needs an integer, not \"" + text + "\"");
    if (value < low || value > high)
        throw UsageError(option + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not " + text);
    return static_cast<Int>(value);
}

double parse_seconds(const std::string& option, const std::string& text)
{
    char* stop = nullptr;
    const double value = std::strtod(text.c_str(), &stop);
    if (text.empty() || *stop != '\0' || !(value >= 0.0) || value > 86400.0)
        throw UsageError(option + " needs a number of seconds from 0 to 86400, not \"" + text + "\"");
    return value;
}

// HOST:PORT, with the host in brackets when it is an IPv6 address.
void parse_tcp_address(const std::string& text, LinkOptions& link)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw UsageError("--tcp needs HOST:PORT, not \"" + text + "\"");
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    link.tcp_host = host;
    link.tcp_port = parse_integer<int>("--tcp port", text.substr(colon + 1), 1, 65535);
}

char parse_parity(const std::string& text)
{
    if (text == "N" || text == "E" || text == "O") return text[0];
    throw UsageError("--parity must be N, E or O, not \"" + text + "\"");
}

using Setter = std::function<void(CommandLine&, const std::string&)>;

// Options taking a value, by name; each subcommand accepts the shared ones
// and its own.
std::map<std::string, Setter> shared_options()
{
    return {
        {"--plugin", [](CommandLine& c, const std::string& v) { c.device.plugin = v; }},
        {"--device-id",
         [](CommandLine& c, const std::string& v) {
             c.device.device_id = parse_integer<unsigned int>("--device-id", v, 0, 0xFFFFFFFFLL);
         }},
        {"--config", [](CommandLine& c, const std::string& v) { c.device.config = v; }},
        {"--tcp", [](CommandLine& c, const std::string& v) { parse_tcp_address(v, c.device.link); }},
        {"--rtu", [](CommandLine& c, const std::string& v) { c.device.link.rtu_device = v; }},
        {"--baud",
         [](CommandLine& c, const std::string& v) {
             c.device.link.baud = parse_integer<int>("--baud", v, 50, 4000000);
         }},
        {"--parity", [](CommandLine& c, const std::string& v) { c.device.link.parity = parse_parity(v); }},
        {"--data-bits",
         [](CommandLine& c, const std::string& v) {
             c.device.link.data_bits = parse_integer<int>("--data-bits", v, 5, 8);
         }},
        {"--stop-bits",
         [](CommandLine& c, const std::string& v) {
             c.device.link.stop_bits = parse_integer<int>("--stop-bits", v, 1, 2);
         }},
        {"--slave",
         [](CommandLine& c, const std::string& v) {
             c.device.link.slave = parse_integer<int>("--slave", v, 0, 247);
         }},
        {"--timeout-ms",
         [](CommandLine& c, const std::string& v) {
             c.device.link.timeout_ms = parse_integer<int>("--timeout-ms", v, 1, 600000);
         }},
    };
}

std::map<std::string, Setter> poll_options()
{
    return {
        {"--cycles",
         [](CommandLine& c, const std::string& v) {
             c.poll.cycles = parse_integer<long>("--cycles", v, 0, 1000000000);
         }},
        {"--interval",
         [](CommandLine& c, const std::string& v) { c.poll.interval_s = parse_seconds("--interval", v); }},
        {"--report", [](CommandLine& c, const std::string& v) { c.poll.report = v; }},
        {"--alarms", [](CommandLine& c, const std::string& v) { c.poll.alarms = v; }},
        {"--history", [](CommandLine& c, const std::string& v) { c.poll.history = v; }},
        {"--devices",
         [](CommandLine& c, const std::string& v) {
             c.poll.devices = parse_integer<int>("--devices", v, 1, 4096);
         }},
    };
}

std::map<std::string, Setter> control_options()
{
    return {
        {"--word",
         [](CommandLine& c, const std::string& v) {
             // Negative words are their 16-bit two's complement.
             const int word = parse_integer<int>("--word", v, -32768, 65535);
             c.control.words.push_back(static_cast<uint16_t>(word));
         }},
        {"--text", [](CommandLine& c, const std::string& v) { c.control.text = v; }},
    };
}

std::map<std::string, Setter> options_of(CommandLine::Command command)
{
    auto options = shared_options();
    if (command == CommandLine::Command::Poll) options.merge(poll_options());
    if (command == CommandLine::Command::Control) options.merge(control_options());
    return options;
}

CommandLine::Command command_named(const std::string& name)
{
    if (name == "poll") return CommandLine::Command::Poll;
    if (name == "control") return CommandLine::Command::Control;
    if (name == "demo") return CommandLine::Command::Demo;
    if (name == "help" || name == "--help" || name == "-h") return CommandLine::Command::Help;
    if (name == "--version") return CommandLine::Command::Version;
    throw UsageError("unknown command \"" + name + "\" (poll, control, demo)");
}

void check_combination(const CommandLine& c)
{
    const LinkOptions& link = c.device.link;
    if (link.tcp_host && link.rtu_device) throw UsageError("give --tcp or --rtu, not both");
    if (c.poll.devices > 1 && !link.tcp_host)
        throw UsageError("--devices needs --tcp HOST:PORT (device i polls port PORT+i)");
    if (link.tcp_port && *link.tcp_port + c.poll.devices - 1 > 65535)
        throw UsageError("--devices runs past port 65535");
}

}  // namespace

std::vector<unsigned char> ControlOptions::input() const
{
    std::vector<unsigned char> bytes;
    for (uint16_t word : words) {
        bytes.push_back(static_cast<unsigned char>(word & 0xFF));
        bytes.push_back(static_cast<unsigned char>(word >> 8));
    }
    if (text) bytes.insert(bytes.end(), text->begin(), text->end());
    return bytes;
}

CommandLine parse_command_line(int argc, const char* const* argv)
{
    CommandLine c;
    if (argc < 2) throw UsageError("no command given (poll, control, demo)");
    c.command = command_named(argv[1]);
    if (c.command == CommandLine::Command::Help || c.command == CommandLine::Command::Version) return c;

    const auto options = options_of(c.command);
    bool have_code = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            c.help_topic = c.command;
            c.command = CommandLine::Command::Help;
            return c;
        }
        if (arg.rfind("--", 0) == 0) {
            std::string value;
            bool inline_value = false;
            if (const auto eq = arg.find('='); eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inline_value = true;
            }
            const auto option = options.find(arg);
            if (option == options.end()) throw UsageError("unknown option " + arg + " for " + argv[1]);
            if (!inline_value) {
                if (i + 1 >= argc) throw UsageError(arg + " needs a value");
                value = argv[++i];
            }
            option->second(c, value);
        } else if (c.command == CommandLine::Command::Control && !have_code) {
            c.control.code = parse_integer<int>("the control code", arg, -2147483647LL - 1, 2147483647LL);
            have_code = true;
        } else {
            throw UsageError("unexpected argument \"" + arg + "\"");
        }
    }
    if (c.command == CommandLine::Command::Control && !have_code)
        throw UsageError("control needs a command code, e.g. qmhost control --tcp HOST:PORT 106 --word 250");
    check_combination(c);
    return c;
}

namespace {

const char kLinkHelp[] = R"(
LINK (the options override the link in --config):
  --tcp HOST:PORT   Modbus TCP
  --rtu DEVICE      Modbus RTU on a serial line, e.g. /dev/ttyUSB0, with
    [--baud 9600] [--parity N|E|O] [--data-bits 8] [--stop-bits 1]
  --slave N         the unit's slave id (default 1)
  --timeout-ms N    response timeout (default 500)
shared options:
  --plugin PATH     the driver plug-in (default: qm4700rx2va9.so next to qmhost)
  --device-id N     the device id given to the driver (default 1)
  --config FILE     the device JSON; its "link" object is used when no link option is given
)";

const char kPollHelp[] = R"(poll: polls the unit, one polling cycle (the chain of 45 reads) after another.
  --cycles N        polling cycles to run (default 1; 0: until SIGINT or SIGTERM)
  --interval S      seconds from one cycle's start to the next (default 5)
  --report FILE     the 801 report after each completed cycle, one line each ("-": stdout);
                    without it a readable summary goes to stdout
  --alarms FILE     one JSON line per alarm point report
  --history FILE    every history record, raw, one after another
  --devices N       N drivers on TCP ports PORT, PORT+1, ...
  Output files are truncated at start. Exit status 0 when every cycle
  completed, 1 when any failed, 2 for a command line it cannot run.
)";

const char kControlHelp[] = R"(control: hands one control command to the driver and reports its outcome.
  CODE              the command code passed to DeviceIoControl, e.g. 106
  --word N          a 16-bit input word, little-endian; repeat for more
  --text TEXT       input bytes, after any words
  Prints "control result: N" last (1: the unit confirmed the write,
  3: it did not, -1: no answer).
)";

const char kDemoHelp[] = R"(demo: polls a simulated unit on a loopback port three times, changes its
  return-air setpoint and raises one of its alarms; needs no unit or options.
)";

}  // namespace

std::string usage_text(CommandLine::Command topic)
{
    using Command = CommandLine::Command;
    const std::string poll_usage =
        "  qmhost poll LINK [--cycles N] [--interval SECONDS] [--report FILE] [--alarms FILE]\n"
        "                   [--history FILE] [--devices N]\n";
    const std::string control_usage = "  qmhost control LINK CODE [--word N]... [--text TEXT]\n";
    switch (topic) {
    case Command::Poll:
        return "usage:\n" + poll_usage + "\n" + kPollHelp + kLinkHelp;
    case Command::Control:
        return "usage:\n" + control_usage + "\n" + kControlHelp + kLinkHelp;
    case Command::Demo:
        return std::string("usage:\n  qmhost demo\n\n") + kDemoHelp;
    default:
        return "usage:\n" + poll_usage + control_usage + "  qmhost demo\n  qmhost --version\n" +
               "  qmhost COMMAND --help\n" + kLinkHelp + "\n" + kPollHelp + "\n" + kControlHelp + "\n" +
               kDemoHelp;
    }
}
