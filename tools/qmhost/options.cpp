#include "tools/qmhost/options.hpp"
#include "tools/common/arguments.hpp"

#include <cstdlib>
#include <functional>
#include <map>

namespace {

double parse_seconds(const std::string& option, const std::string& text)
{
    char* stop = nullptr;
    const double value = std::strtod(text.c_str(), &stop);
    if (text.empty() || *stop != '\0' || !(value >= 0.0) || value > 86400.0)
        throw UsageError(option + " needs a number of seconds from 0 to 86400, not \"" + text + "\"");
    return value;
}

std::vector<std::string> split_names(const std::string& option, const std::string& text)
{
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t comma; start <= text.size(); start = comma + 1) {
        comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma == start) throw UsageError(option + " needs NAME,NAME,... without empty names, not \"" + text + "\"");
        names.push_back(text.substr(start, comma - start));
    }
    return names;
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
        {"--driver-log", [](CommandLine& c, const std::string& v) { c.driver_log = v; }},
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
        {"--points", [](CommandLine& c, const std::string& v) { c.poll.points = split_names("--points", v); }},
        {"--events", [](CommandLine& c, const std::string& v) { c.poll.events = v; }},
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

std::map<std::string, Setter> points_options()
{
    return {
        {"--format",
         [](CommandLine& c, const std::string& v) {
             if (v == "text") c.points.format = PointsOptions::Format::Text;
             else if (v == "csv") c.points.format = PointsOptions::Format::Csv;
             else if (v == "json") c.points.format = PointsOptions::Format::Json;
             else throw UsageError("--format must be text, csv or json, not \"" + v + "\"");
         }},
    };
}

std::map<std::string, Setter> options_of(CommandLine::Command command)
{
    if (command == CommandLine::Command::Points) return points_options();
    auto options = shared_options();
    if (command == CommandLine::Command::Poll) options.merge(poll_options());
    if (command == CommandLine::Command::Control) options.merge(control_options());
    return options;
}

// Options without a value, by subcommand.
bool take_flag(CommandLine& c, const OptionWord& option)
{
    bool* flag = nullptr;
    if (option.name == "--force" && c.command == CommandLine::Command::Set) flag = &c.safe.force;
    if (option.name == "--members" && c.command == CommandLine::Command::Points) flag = &c.points.members;
    if (!flag) return false;
    ArgumentWords::check_switch(option);
    return *flag = true;
}

// The link options go wherever the shared ones do.
bool takes_link_options(CommandLine::Command command) { return command != CommandLine::Command::Points; }

// The words after set and decode.
void take_positional(CommandLine& c, const std::string& arg, int& taken)
{
    if (c.command == CommandLine::Command::Decode && taken == 0) {
        c.decode_file = arg;
    } else if (c.command == CommandLine::Command::Set && taken == 0) {
        if (arg == "temperature") c.safe.action = SafeControlOptions::Action::Temperature;
        else if (arg == "humidity") c.safe.action = SafeControlOptions::Action::Humidity;
        else throw UsageError("set takes temperature or humidity, not \"" + arg + "\"");
    } else if (c.command == CommandLine::Command::Set && taken == 1) {
        c.safe.value = arg;
    } else {
        throw UsageError("unexpected argument \"" + arg + "\"");
    }
    ++taken;
}

CommandLine::Command command_named(const std::string& name)
{
    if (name == "poll") return CommandLine::Command::Poll;
    if (name == "control") return CommandLine::Command::Control;
    if (name == "demo") return CommandLine::Command::Demo;
    if (name == "on") return CommandLine::Command::On;
    if (name == "off") return CommandLine::Command::Off;
    if (name == "set") return CommandLine::Command::Set;
    if (name == "points") return CommandLine::Command::Points;
    if (name == "decode") return CommandLine::Command::Decode;
    if (name == "help" || name == "--help" || name == "-h") return CommandLine::Command::Help;
    if (name == "--version") return CommandLine::Command::Version;
    throw UsageError("unknown command \"" + name + "\" (poll, control, on, off, set, points, decode, demo)");
}

// One option word, and its value when it takes one.
void take_option(CommandLine& c, const OptionWord& option, ArgumentWords& words,
                 const std::map<std::string, Setter>& options, const std::string& command)
{
    if (take_flag(c, option)) return;
    if (const auto setter = options.find(option.name); setter != options.end())
        return setter->second(c, words.value_of(option));
    if (takes_link_options(c.command) && is_link_option(LinkEnd::Host, option.name))
        return take_link_option(option.name, words.value_of(option), LinkEnd::Host, c.device.link);
    throw UsageError("unknown option " + option.name + " for " + command);
}

void check_combination(const CommandLine& c)
{
    const LinkOptions& link = c.device.link;
    if (c.poll.devices > 1 && !link.tcp_host)
        throw UsageError("--devices needs --tcp HOST:PORT (device i polls port PORT+i)");
    if (link.slaves.size() > 1 && c.command != CommandLine::Command::Poll)
        throw UsageError("--slave takes one id here; several, e.g. --slave 1,2,3, are for poll");
    if (link.slaves.size() > 1 && c.poll.devices > 1)
        throw UsageError("give --devices or several --slave ids, not both");
    if (link.tcp_port && *link.tcp_port + c.poll.devices - 1 > 65535)
        throw UsageError("--devices runs past port 65535");
    if (!c.poll.points.empty() && c.poll.report == "-")
        throw UsageError("give --points or --report -, not both: each takes standard output");
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
    if (argc < 2) throw UsageError("no command given (poll, control, on, off, set, points, decode, demo)");
    c.command = command_named(argv[1]);
    if (c.command == CommandLine::Command::Help || c.command == CommandLine::Command::Version) return c;

    const auto options = options_of(c.command);
    bool have_code = false;
    int positionals = 0;
    for (ArgumentWords words(argc, argv, 2); !words.done();) {
        const std::string word = words.take();
        if (word == "--help" || word == "-h") {
            c.help_topic = c.command;
            c.command = CommandLine::Command::Help;
            return c;
        }
        const auto option = option_word(word);
        if (!option && c.command == CommandLine::Command::Control && !have_code) {
            c.control.code = parse_integer<int>("the control code", word, -2147483647LL - 1, 2147483647LL);
            have_code = true;
        } else if (!option) {
            take_positional(c, word, positionals);
        } else {
            take_option(c, *option, words, options, argv[1]);
        }
    }
    if (c.command == CommandLine::Command::Control && !have_code)
        throw UsageError("control needs a command code, e.g. qmhost control --tcp HOST:PORT 106 --word 24");
    if (c.command == CommandLine::Command::Set && positionals < 2)
        throw UsageError("set needs what and a value, e.g. qmhost set --tcp HOST:PORT temperature 24");
    if (c.command == CommandLine::Command::Decode && positionals < 1)
        throw UsageError("decode needs a file of records, e.g. qmhost decode history.bin");
    check_combination(c);
    return c;
}

namespace {

const char kLinkHelp[] = R"(
LINK (the options override the link in --config; qmsim takes them alike):
  --tcp HOST:PORT   Modbus TCP; an IPv6 host in brackets, [::1]:502
  --rtu DEVICE      Modbus RTU on a serial line, e.g. /dev/ttyUSB0, with
    [--baud 9600] [--parity N|E|O] [--data-bits 8] [--stop-bits 1]
                    a standard line speed (110 to 4000000); parity also none, even, odd
  --slave N         the unit's slave id, 1 to 247 (default 1)
  --timeout-ms N    response timeout, 1 to 10000 (default 500)
  --slave 1,2,3     (poll) one driver per slave id, all on the one line, polled in turn;
                    in --config: "link": {..., "slaves": [1, 2, 3]}
shared options (each option's value as --opt VALUE or --opt=VALUE):
  --plugin PATH     the driver plug-in (default: qm4700rx2va9.so next to qmhost)
  --device-id N     the device id given to the driver (default 1)
  --config FILE     the device JSON; its "link" object is used when no link option is given;
                    a mistake in it is refused at start naming its member (exit status 2)
  --driver-log FILE the driver's own diagnostic lines, appended (default: standard error);
                    standard output carries only what qmhost is asked for
)";

const char kPollHelp[] = R"(poll: polls the unit, one polling cycle (the chain of 45 reads) after another.
  --cycles N        polling cycles to run (default 1; 0: until SIGINT or SIGTERM)
  --interval S      seconds from one cycle's start to the next (default 5)
  --report FILE     the 801 report after each completed cycle, one line each ("-": stdout);
                    without it a readable summary goes to stdout
  --alarms FILE     one JSON line per alarm point report (180 per cycle)
  --events FILE     one JSON line per alarm raised or cleared, with time, device and slave
  --points NAME,... the named report members, one line per cycle, instead of the summary
  --history FILE    every history record, raw, one after another
  --devices N       N drivers on TCP ports PORT, PORT+1, ...
  Output files are truncated at start. Exit status 0 when every cycle
  completed, 1 when any failed, 2 for a command line it cannot run.
)";

const char kSafeControlHelp[] = R"(on, off, set: the unit's answer is awaited, then the point is read back.
  on | off                      unit on or off
  set temperature VALUE         return-air temperature setpoint, whole degrees C, 15 to 35
  set humidity VALUE            humidity setpoint, whole % RH, 20 to 80
  --force                       accept a setpoint outside that range (0 to 6553)
  e.g. qmhost set --tcp 127.0.0.1:1502 temperature 24
)";

const char kControlHelp[] = R"(control: hands one raw control command to the driver and reports its outcome.
  CODE              the command code passed to DeviceIoControl:
                      100 unit on                      (no input)
                      102 unit off                     (no input)
                      106 return-air setpoint, whole C (--word C; the unit gets C x 10)
                      110 humidity setpoint, whole %RH (--word H; the unit gets H x 10)
                      206 write one register           (--word ADDRESS --word VALUE)
                      210 write registers              (--word ADDRESS --word VALUE...)
                      310 setpoint by signal code      (--text '{"signal_id":"150800310010","SetValue":"24"}')
                      320 on/off by signal code        (--text 601500201001 on, 601500200001 off)
  --word N          a 16-bit input word, little-endian; repeat for more
  --text TEXT       input bytes, after any words
  Prints "control result: N" last (1: the unit confirmed the write,
  3: it did not, -1: no answer).
  e.g. qmhost control --tcp 127.0.0.1:1502 106 --word 24   (sets 24.0 C)
)";

const char kControlExitHelp[] = R"(exit status of on, off, set and the writing control codes: 0 confirmed by the unit,
  1 other failure, 2 command line or value refused (nothing sent), 3 not confirmed by the
  unit, 4 no answer to the write
)";

const char kPointsHelp[] = R"(points: every report member with its source and conversion, every alarm point with its
  codes, names and source bit; --format csv gives the alarm points (--members: the report
  members) as RFC 4180 CSV in UTF-8
)";

const char kDecodeHelp[] = R"(decode FILE: one report per 459-byte record (a --history file or the gateway's cache),
  one JSON line each, "更新时间" the record's own time
)";

const char kDemoHelp[] = R"(demo: polls a simulated unit on a loopback port three times, changes its
  return-air setpoint and raises one of its alarms; needs no unit or options.
)";

const char kPollUsage[] =
    "  qmhost poll LINK [--cycles N] [--interval SECONDS] [--report FILE] [--alarms FILE]\n"
    "                   [--history FILE] [--events FILE] [--points NAME,...] [--devices N]\n"
    "  qmhost poll --rtu DEVICE --slave 1,2,3 [poll options]   (several units on one bus)\n";
const char kSafeControlUsage[] =
    "  qmhost on LINK\n"
    "  qmhost off LINK\n"
    "  qmhost set LINK temperature VALUE [--force]\n"
    "  qmhost set LINK humidity VALUE [--force]\n";
const char kControlUsage[] = "  qmhost control LINK CODE [--word N]... [--text TEXT]\n";
const char kPointsUsage[] = "  qmhost points [--format text|csv|json] [--members]\n";
const char kDecodeUsage[] = "  qmhost decode FILE\n";
const char kDemoUsage[] = "  qmhost demo\n";

}  // namespace

std::string usage_text(CommandLine::Command topic)
{
    using Command = CommandLine::Command;
    const std::string usage = "usage:\n";
    switch (topic) {
    case Command::Poll:
        return usage + kPollUsage + "\n" + kPollHelp + kLinkHelp;
    case Command::Control:
        return usage + kControlUsage + "\n" + kControlHelp + kControlExitHelp + kLinkHelp;
    case Command::On:
    case Command::Off:
    case Command::Set:
        return usage + kSafeControlUsage + "\n" + kSafeControlHelp + kControlExitHelp + kLinkHelp;
    case Command::Points:
        return usage + kPointsUsage + "\n" + kPointsHelp;
    case Command::Decode:
        return usage + kDecodeUsage + "\n" + kDecodeHelp;
    case Command::Demo:
        return usage + kDemoUsage + "\n" + kDemoHelp;
    default:
        return usage + kPollUsage + kSafeControlUsage + kControlUsage + kPointsUsage + kDecodeUsage +
               kDemoUsage + "  qmhost --version\n  qmhost COMMAND --help\n" + kLinkHelp + "\n" + kPollHelp +
               "\n" + kSafeControlHelp + "\n" + kControlHelp + kControlExitHelp + "\n" + kPointsHelp + "\n" +
               kDecodeHelp + "\n" + kDemoHelp;
    }
}
