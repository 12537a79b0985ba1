#include "tools/qmhost/options.hpp"
#include "tools/common/arguments.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

namespace {

const char kCommandNames[] = "poll, serve, status, control, on, off, set, scan, points, decode, demo";

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

// Options taking a value, by name; each subcommand accepts the shared ones
// and its own.
OptionSetters<CommandLine> shared_options()
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

OptionSetters<CommandLine> poll_options()
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

OptionSetters<CommandLine> control_options()
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

OptionSetters<CommandLine> points_options()
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

// "1-247", "1,2,3", "1-5,10": each id once, in order.
std::vector<int> parse_slave_ranges(const std::string& text)
{
    std::set<int> ids;
    for (const std::string& part : split_names("--slaves", text)) {
        const auto dash = part.find('-');
        const int first = parse_slave_id("--slaves", part.substr(0, dash));
        const int last = dash == std::string::npos ? first : parse_slave_id("--slaves", part.substr(dash + 1));
        if (last < first) throw UsageError("--slaves range " + part + " runs backwards");
        for (int id = first; id <= last; ++id) ids.insert(id);
    }
    return {ids.begin(), ids.end()};
}

void add_scan_bauds(CommandLine& c, const std::string& text)
{
    for (const std::string& rate : split_names("--baud", text)) {
        LinkOptions one;
        take_link_option("--baud", rate, LinkEnd::Host, one);
        if (std::find(c.scan.bauds.begin(), c.scan.bauds.end(), *one.baud) == c.scan.bauds.end())
            c.scan.bauds.push_back(*one.baud);
    }
}

OptionSetters<CommandLine> scan_options()
{
    return {
        {"--baud", add_scan_bauds},
        {"--slaves", [](CommandLine& c, const std::string& v) { c.scan.slaves = parse_slave_ranges(v); }},
    };
}

// serve reads its link, device and store settings from the site file alone.
OptionSetters<CommandLine> serve_options()
{
    return {
        {"--site", [](CommandLine& c, const std::string& v) { c.site_file = v; }},
        {"--plugin", [](CommandLine& c, const std::string& v) { c.device.plugin = v; }},
        {"--driver-log", [](CommandLine& c, const std::string& v) { c.driver_log = v; }},
    };
}

// status and the controls go through a running agent with --agent.
OptionSetters<CommandLine> agent_options(CommandLine::Command command)
{
    OptionSetters<CommandLine> options = {
        {"--agent", [](CommandLine& c, const std::string& v) { c.agent.url = v; }},
        {"--cafile", [](CommandLine& c, const std::string& v) { c.agent.cafile = v; }},
    };
    if (command == CommandLine::Command::Status) {
        options["--keys"] = [](CommandLine& c, const std::string& v) { c.status_keys = split_names("--keys", v); };
        return options;
    }
    options["--unit"] = [](CommandLine& c, const std::string& v) { c.agent.unit = v; };
    options["--token-file"] = [](CommandLine& c, const std::string& v) { c.agent.token_file = v; };
    return options;
}

OptionSetters<CommandLine> options_of(CommandLine::Command command)
{
    using Command = CommandLine::Command;
    if (command == Command::Points) return points_options();
    if (command == Command::Scan) return scan_options();
    if (command == Command::Serve) return serve_options();
    auto options = shared_options();
    if (command == Command::Poll) options.merge(poll_options());
    if (command == Command::Control) options.merge(control_options());
    if (command == Command::Status || command == Command::Control || command == Command::On ||
        command == Command::Off || command == Command::Set)
        options.merge(agent_options(command));
    return options;
}

// Options without a value, by subcommand.
bool take_flag(CommandLine& c, const OptionWord& option)
{
    using Command = CommandLine::Command;
    bool* flag = nullptr;
    if (option.name == "--force" && c.command == Command::Set) flag = &c.safe.force;
    if (option.name == "--force" && c.command == Command::Control) flag = &c.control.force;
    if (option.name == "--quiet" && c.command == Command::Poll) flag = &c.poll.quiet;
    if (option.name == "--members" && c.command == Command::Points) flag = &c.points.members;
    if (option.name == "--bom" && c.command == Command::Points) flag = &c.points.bom;
    if (option.name == "--lenient" && c.command == Command::Decode) flag = &c.decode_lenient;
    if (option.name == "--check-broker" && c.command == Command::Serve) flag = &c.check_broker;
    if (option.name == "--check" && c.command == Command::Serve) flag = &c.check_site;
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
    } else if (c.command == CommandLine::Command::Status && taken == 0) {
        c.status_unit = arg;
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

std::optional<CommandLine::Command> command_if_named(const std::string& name)
{
    using Command = CommandLine::Command;
    static const std::map<std::string, Command> kCommands = {
        {"poll", Command::Poll},     {"control", Command::Control}, {"demo", Command::Demo},
        {"on", Command::On},         {"off", Command::Off},         {"set", Command::Set},
        {"points", Command::Points}, {"decode", Command::Decode},   {"scan", Command::Scan},
        {"serve", Command::Serve},   {"status", Command::Status},
        {"help", Command::Help},     {"--help", Command::Help},     {"-h", Command::Help},
        {"--version", Command::Version}};
    const auto found = kCommands.find(name);
    if (found == kCommands.end()) return std::nullopt;
    return found->second;
}

CommandLine::Command command_named(const std::string& name)
{
    if (const auto command = command_if_named(name)) return *command;
    throw UsageError("unknown command \"" + name + "\" (" + kCommandNames + ")");
}

// Through an agent, the agent's site file names the link and the unit.
void check_agent_options(const CommandLine& c)
{
    const LinkOptions& link = c.device.link;
    if (c.agent.url.empty()) {
        if (!c.agent.unit.empty() || !c.agent.token_file.empty() || !c.agent.cafile.empty())
            throw UsageError("--unit, --token-file and --cafile go with --agent URL");
        return;
    }
    if (link.tcp_host || link.rtu_device || !c.device.config.empty())
        throw UsageError("give --agent or a link (--tcp, --rtu, --config), not both");
    const bool control = c.command != CommandLine::Command::Status;
    if (control && c.agent.unit.empty()) throw UsageError("--agent needs --unit NAME, the unit in the agent's site");
}

// An option given before the subcommand: the mend names the subcommand
// when one follows.
[[noreturn]] void refuse_option_first(int argc, const char* const* argv)
{
    const std::string option = option_word(argv[1])->name;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        const auto command = word.compare(0, 1, "-") == 0 ? std::nullopt : command_if_named(word);
        if (command && *command != CommandLine::Command::Help)
            throw UsageError("options go after the subcommand: qmhost " + word + " " + option + " ...");
    }
    throw UsageError("no command given before " + option + " (" + kCommandNames + ")");
}

// The subcommand's own refusals of link options.
void check_link_option_fits(const CommandLine& c, const std::string& name)
{
    if (c.command != CommandLine::Command::Scan) return;
    if (name == "--tcp") throw UsageError("scan is for a serial line: give --rtu DEVICE");
    if (name == "--slave") throw UsageError("scan takes --slaves IDS (e.g. 1-247), not --slave");
}

// One option word, and its value when it takes one.
void take_option(CommandLine& c, const OptionWord& option, ArgumentWords& words,
                 const OptionSetters<CommandLine>& options, const std::string& command)
{
    if (take_flag(c, option)) return;
    if (const auto setter = options.find(option.name); setter != options.end())
        return setter->second(c, words.value_of(option));
    if (takes_link_options(c.command) && is_link_option(LinkEnd::Host, option.name)) {
        check_link_option_fits(c, option.name);
        return take_link_option(option.name, words.value_of(option), LinkEnd::Host, c.device.link);
    }
    throw UsageError("unknown option " + option.name + " for " + command);
}

void check_combination(const CommandLine& c)
{
    check_agent_options(c);
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
    if (c.points.members && c.points.format != PointsOptions::Format::Csv)
        throw UsageError("--members is for --format csv; the text and JSON lists hold the members already");
    if (c.points.bom && c.points.format != PointsOptions::Format::Csv)
        throw UsageError("--bom is for --format csv");
    if (c.command == CommandLine::Command::Scan && !link.rtu_device)
        throw UsageError("scan needs the serial line: qmhost scan --rtu DEVICE");
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
    if (argc < 2) throw UsageError(std::string("no command given (") + kCommandNames + ")");
    if (option_word(argv[1]) && !command_if_named(argv[1])) refuse_option_first(argc, argv);
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
    if (c.command == CommandLine::Command::Serve && c.site_file.empty())
        throw UsageError("serve needs --site FILE, the site file naming the lines, units and store");
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
  --plugin PATH     the driver plug-in (default: qm4700rx2va9.so next to qmhost or,
                    installed, in ../lib/qm4700rx2va9 from it)
  --device-id N     the device id given to the driver (default 1)
  --config FILE     the device JSON; its "link" object is used when no link option is given;
                    a mistake in it is refused at start naming its member (exit status 2)
  --driver-log FILE the driver's own diagnostic lines, appended (default: standard error);
                    standard output carries only what qmhost is asked for
)";

const char kPollHelp[] = R"(poll: polls the unit, one polling cycle (the chain of 45 reads) after another.
  --cycles N        polling cycles to run (default 1; 0: until SIGINT or SIGTERM)
  --interval S      seconds from one cycle's start to the next (default 5)
  --report FILE     the 801 report after each completed cycle, one line each, in
                    {"device":N,"slave":N,"time":T,"report":{...}} ("-": stdout);
                    without it a readable summary goes to stdout
  --alarms FILE     one JSON line per alarm point report (180 per cycle)
  --events FILE     one JSON line per alarm raised or cleared and per unit lost or back
  --points NAME,... the named report members, one line per cycle, instead of the summary
  --history FILE    every history record, raw, one after another
  --devices N       N drivers on TCP ports PORT, PORT+1, ...
  --quiet           with --report FILE (and no --points) the banner and a line per
                    cycle (one a minute at intervals below 60 s) go to standard error;
                    --quiet leaves them out
  Output files are appended to, a cycle at a time, and reopened by name on SIGHUP.
  Exit status 0 when every cycle completed, 1 when any failed, 2 for a command
  line it cannot run, 5 when an output could not be written.
)";

const char kSafeControlHelp[] = R"(on, off, set: the unit's answer is awaited, then the point is read back.
  on | off                      unit on or off
  set temperature VALUE         return-air temperature setpoint, whole degrees C, 15 to 35
  set humidity VALUE            humidity setpoint, whole % RH, 20 to 80
  --force                       accept a setpoint outside that range (0 to 6553)
  e.g. qmhost set --tcp 127.0.0.1:1502 temperature 24
)";

const char kControlHelp[] = R"(control: hands one raw control command to the driver and reports its outcome.
  CODE              the command code passed to DeviceIoControl, one of:
                        0 outcome query: the last write's control result (no input);
                          exit status 0 when a write's result was read, 1 when none (-1)
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
  --force           106, 110, 310: accept a setpoint outside the range set takes (0 to 6553)
  Other codes are refused. A setpoint (106, 110, 310) must be a whole number in the range
  set takes (temperature 15 to 35 C, humidity 20 to 80 %RH), else nothing is sent.
  Prints "control result: N" last (1: the unit confirmed the write,
  3: it did not, -1: no answer).
  e.g. qmhost control --tcp 127.0.0.1:1502 106 --word 24   (sets 24.0 C)
)";

const char kControlExitHelp[] = R"(exit status of on, off, set and the writing control codes: 0 confirmed by the unit,
  1 other failure, 2 command line or value refused (nothing sent), 3 not confirmed by the
  unit, 4 no answer to the write
)";

const char kPointsHelp[] = R"(points: every report member with its source, conversion and unit, every alarm point with
  its codes, names and source bit; --format csv gives the alarm points (--members: the
  report members) as RFC 4180 CSV in UTF-8, for programs
  --bom             CSV for a spreadsheet program: a UTF-8 byte-order mark first, and
                    each code as ="602400101001", so that it stays text
)";

const char kScanHelp[] = R"(scan: which slave ids answer on a serial line, at which speeds. Each id is asked for the
  unit's on/off bit (coil 276) once at each speed; the ids that answer are listed with
  speed and on/off state. Nothing is written. Refused while another program has the line.
  --baud RATE,...   the speeds to try, also repeated (default 9600)
  --slaves IDS      the ids to ask, e.g. 1-247 (default), 1-10,20
  --timeout-ms N    how long each id has to answer (default 100); after a silence the
                    line is left quiet as long again, so the scan takes at most
                    ids x speeds x 2 x timeout (247 ids at one speed: 50 s)
  --parity, --data-bits, --stop-bits as for the other commands.
  Exit status 0 when some id answered, 1 when none did, 2 for a command line it cannot run.
)";

const char kDecodeHelp[] = R"(decode FILE: one report per 459-byte record (a --history file or the gateway's cache),
  one JSON line each, "更新时间" the record's own time, with the record's "device_id" and
  "record_time" (its time stamp in ISO 8601, local time without an offset) added.
  A record whose bytes are all zero, or whose time stamp is no real date and time
  (or outside 1970 to 2099), is no record: it is named with its byte offset on
  standard error and skipped.
  --lenient         render such records too
  Exit status 0; 1 when a record was skipped or a partial record ends the file
  (after the whole records are rendered), or the file cannot be read.
)";

const char kServeHelp[] = R"(serve: the site agent. Polls every line of the site file, each on its own and its
  units in turn, and keeps every record and event in the store the site file names;
  one line per event on standard error. With "http", serves metrics, the API, a status
  page and controls; with "mqtt", publishes to the monitoring centre's broker. Runs until
  SIGINT or SIGTERM, then exits 0; SIGHUP reads the site file again (a refused one
  changes nothing). Exit status 2 for a site file or a machine it cannot run.
  --site FILE       the site file (JSON: "site", "store", "lines", "http", "mqtt"; see the
                    README); a member it refuses is named, with exit status 2
  --check           check the site file and what it needs (the store's folder and lock, each
                    line's device or address, the HTTP port, the broker), print the plan it
                    makes and exit: 0, or the status of the first failure (2 the file or the
                    machine, 1 a line not reached, the broker's as below)
  --check-broker    connect to the "mqtt" broker once, say what failed and exit: 0 connected
                    and allowed, 1 no answer in time, 2 a site file it cannot run, 3 refused,
                    4 the TLS handshake failed, 5 login refused, 6 topics not authorised
  --plugin PATH     the driver plug-in (default: as for poll)
  --driver-log FILE the driver's own diagnostic lines, appended (default: standard error)
)";

const char kStatusHelp[] = R"(status: one "key: value" line per value, ASCII keys (unit.state: on,
  air.return.temperature: 23.4, setpoint.temperature: 24.0, alarm.count: 1, alarm.1: NAME,
  poll.last: TIME); read from a running agent, or from the unit itself with one polling cycle.
  --agent URL       the agent's HTTP address, e.g. http://127.0.0.1:8470 (https:// when it serves TLS)
  --cafile FILE     with https: the CA the agent's certificate must come from (default: the system's)
  UNIT              the unit's name in the agent's site (default: every unit, a blank line between)
  --keys KEY,...    only these values, in this order (default: every value; qmhost keys lists them)
  Exit status 0; 1 when the agent or the unit cannot be read, or a unit's data is stale
  (its values are then left out, as they are not current); 2 for a command line it cannot run.
)";

const char kAgentControlHelp[] = R"(through a running agent (qmhost serve), which queues the command on the unit's line
between its polling cycles:
  --agent URL       the agent's HTTP address, e.g. http://127.0.0.1:8470 (https:// when it serves TLS)
  --cafile FILE     with https: the CA the agent's certificate must come from (default: the system's)
  --unit NAME       the unit's name in the agent's site
  --token-file FILE the agent's control token (its site file's control_token_file)
)";

const char kDemoHelp[] = R"(demo: polls a simulated unit on a loopback port three times, changes its
  return-air setpoint and raises one of its alarms; needs no unit or options.
)";

const char kPollUsage[] =
    "  qmhost poll LINK [--cycles N] [--interval SECONDS] [--report FILE] [--alarms FILE]\n"
    "                   [--history FILE] [--events FILE] [--points NAME,...] [--devices N] [--quiet]\n"
    "  qmhost poll --rtu DEVICE --slave 1,2,3 [poll options]   (several units on one bus)\n";
const char kSafeControlUsage[] =
    "  qmhost on LINK\n"
    "  qmhost off LINK\n"
    "  qmhost set LINK temperature VALUE [--force]\n"
    "  qmhost set LINK humidity VALUE [--force]\n";
const char kControlUsage[] = "  qmhost control LINK CODE [--word N]... [--text TEXT] [--force]\n";
const char kPointsUsage[] = "  qmhost points [--format text|csv|json] [--members] [--bom]\n";
const char kScanUsage[] =
    "  qmhost scan --rtu DEVICE [--baud RATE,...] [--slaves 1-247] [--timeout-ms N] [--parity N|E|O]\n";
const char kDecodeUsage[] = "  qmhost decode FILE [--lenient]\n";
const char kDemoUsage[] = "  qmhost demo\n";
const char kServeUsage[] = "  qmhost serve --site FILE [--plugin PATH] [--driver-log FILE]\n  qmhost serve --check|--check-broker --site FILE\n";
const char kStatusUsage[] =
    "  qmhost status --agent URL [UNIT] [--keys KEY,...]\n"
    "  qmhost status LINK [--keys KEY,...]\n";
const char kAgentControlUsage[] =
    "  qmhost on|off|set|control --agent URL --unit NAME --token-file FILE ...\n";

// The Debian package's place; an installation elsewhere has them under
// its own prefix.
const char kDocumentsHelp[] = R"(Documents: the README (every command, the site file, the agent's API, page and metrics)
  is /usr/share/doc/qmhost/README.md, the measured figures BENCHMARKS.md beside it
  (installed under another prefix: PREFIX/share/doc/qmhost/).
)";

}  // namespace

std::string documents_text() { return kDocumentsHelp; }

std::string usage_text(CommandLine::Command topic)
{
    using Command = CommandLine::Command;
    const std::string usage = "usage:\n";
    switch (topic) {
    case Command::Poll:
        return usage + kPollUsage + "\n" + kPollHelp + kLinkHelp;
    case Command::Control:
        return usage + kControlUsage + kAgentControlUsage + "\n" + kControlHelp + kControlExitHelp + kLinkHelp +
               "\n" + kAgentControlHelp;
    case Command::On:
    case Command::Off:
    case Command::Set:
        return usage + kSafeControlUsage + kAgentControlUsage + "\n" + kSafeControlHelp + kControlExitHelp +
               kLinkHelp + "\n" + kAgentControlHelp;
    case Command::Status:
        return usage + kStatusUsage + "\n" + kStatusHelp + kLinkHelp;
    case Command::Points:
        return usage + kPointsUsage + "\n" + kPointsHelp;
    case Command::Decode:
        return usage + kDecodeUsage + "\n" + kDecodeHelp;
    case Command::Scan:
        return usage + kScanUsage + "\n" + kScanHelp;
    case Command::Demo:
        return usage + kDemoUsage + "\n" + kDemoHelp;
    case Command::Serve:
        return usage + kServeUsage + "\n" + kServeHelp + "\n" + kDocumentsHelp;
    default:
        return usage + kPollUsage + kServeUsage + kStatusUsage + kSafeControlUsage + kControlUsage +
               kAgentControlUsage + kScanUsage + kPointsUsage + kDecodeUsage + kDemoUsage +
               "  qmhost --version\n  qmhost COMMAND --help\n" + kLinkHelp + "\n" + kPollHelp + "\n" +
               kSafeControlHelp + "\n" + kControlHelp + kControlExitHelp + "\n" + kAgentControlHelp + "\n" +
               kScanHelp + "\n" + kPointsHelp + "\n" + kDecodeHelp + "\n" + kServeHelp + "\n" + kStatusHelp +
               "\n" + kDemoHelp;
    }
}
