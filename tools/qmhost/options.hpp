// qmhost's command line: one subcommand, the link and device options every
// subcommand shares, and the subcommand's own options.
#pragma once

#include "tools/common/link_options.hpp"
#include "base/usage_error.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DeviceOptions {
    std::string plugin;  // empty: the plug-in next to the qmhost binary
    unsigned int device_id = 1;
    std::string config;  // empty: no device JSON, only the link options
    LinkOptions link;
};

struct PollOptions {
    long cycles = 1;  // 0: until SIGINT or SIGTERM
    double interval_s = 5.0;
    std::string report;   // "-" standard output; empty: readable summary instead
    std::string alarms;
    std::string history;
    int devices = 1;  // drivers on TCP ports PORT, PORT+1, ...
    std::vector<std::string> points;  // report members printed each cycle
    std::string events;               // alarm raises and clears, one JSON line each
    bool quiet = false;               // no banner or cycle lines on standard error
};

struct ControlOptions {
    int code = 0;
    std::vector<uint16_t> words;
    std::optional<std::string> text;
    bool force = false;  // a setpoint outside the plausible range, still within what the unit takes
    // The command's input: the words little-endian, then the text's bytes.
    std::vector<unsigned char> input() const;
};

// on, off, set temperature VALUE, set humidity VALUE.
struct SafeControlOptions {
    enum class Action { On, Off, Temperature, Humidity };
    Action action = Action::On;
    std::string value;  // the setpoint as given, checked when the command runs
    bool force = false; // outside the plausible range, still within what the unit takes
};

struct PointsOptions {
    enum class Format { Text, Csv, Json };
    Format format = Format::Text;
    bool members = false;  // CSV: the report members instead of the alarm points
    bool bom = false;      // CSV for a spreadsheet program: a byte-order mark, codes kept as text
};

// scan: which slave ids answer on a serial line, at which speeds.
struct ScanOptions {
    std::vector<int> bauds;   // empty: 9600
    std::vector<int> slaves;  // empty: 1 to 247
};

// A running agent (qmhost serve) to go through instead of a link.
struct AgentOptions {
    std::string url;         // --agent http[s]://HOST:PORT; empty: the link options
    std::string cafile;      // --cafile FILE: the CA of an https agent's certificate
    std::string unit;        // --unit NAME: the unit a control is for
    std::string token_file;  // --token-file FILE: the agent's control token
};

struct CommandLine {
    enum class Command { Help, Version, Poll, Control, Demo, On, Off, Set, Points, Decode, Scan, Serve, Status };
    Command command = Command::Help;
    // With Help: the subcommand whose help was asked for (Help: all of them).
    Command help_topic = Command::Help;
    DeviceOptions device;
    PollOptions poll;
    ControlOptions control;
    SafeControlOptions safe;
    PointsOptions points;
    ScanOptions scan;
    std::string decode_file;
    AgentOptions agent;
    std::string status_unit;  // status UNIT; empty: every unit
    std::vector<std::string> status_keys;  // status --keys; empty: every value
    std::string site_file;   // serve --site
    bool check_broker = false;  // serve --check-broker: connect once and say what failed
    bool check_site = false;    // serve --check: the plan and every start check, nothing started
    bool decode_lenient = false;  // render records decode would refuse as no record
    std::string driver_log;  // empty: the driver's lines go to standard error
};

// Throws UsageError for an unknown subcommand or option, a missing or
// malformed value, or options that do not go together.
CommandLine parse_command_line(int argc, const char* const* argv);

// The help for one subcommand, or for all of them.
std::string usage_text(CommandLine::Command topic = CommandLine::Command::Help);

// Where the README and the benchmarks are once installed, for the help's end.
std::string documents_text();
