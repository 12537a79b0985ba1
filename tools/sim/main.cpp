// qmsim: the air-conditioning unit as a Modbus slave on TCP or a serial line,
// for bench tests of the driver without the unit.
#include "tools/common/arguments.hpp"
#include "tools/common/device_json.hpp"
#include "base/json_file.hpp"
#include "tools/common/link_options.hpp"
#include "tools/sim/unit_server.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kUsage[] =
    "usage: qmsim (--tcp HOST:PORT | --rtu DEVICE [--baud 9600] [--parity N|E|O] [--data-bits 8]\n"
    "             [--stop-bits 1] | --config FILE) [--slave N[,N...]] [--state FILE]\n"
    "             [--slave-state N=FILE]... [--silent-slave N[,N...]] [--silent-after N]\n"
    "             [--exception ADDR] [--drop-every N] [--wrong-echo] [--port-file FILE]\n"
    "             [--late MS [--busy queue|ignore]] [--bad-crc] [--other-slave] [--truncated]\n"
    "             [--trickle MS] [--fault-address ADDR] [--fault-every N]\n"
    "             [--drop P] [--duplicate P [--duplicate-late MS]] [--fault-seed N]\n"
    "       qmsim --version\n"
    "The air-conditioning unit as a Modbus slave: coils and holding registers at every\n"
    "address 0 to 65535, starting from the values of a running unit without alarms.\n"
    "Options take their value as --opt VALUE or --opt=VALUE; the link options are qmhost's.\n"
    "  --tcp HOST:PORT   listen on HOST:PORT ([::1]:PORT for IPv6; port 0: a free one);\n"
    "                    answers every unit id\n"
    "  --rtu DEVICE      serve a serial line (or one end of a pseudo-terminal pair);\n"
    "                    --parity also takes none, even or odd; --baud a standard line speed\n"
    "  --config FILE     the line of a device JSON's \"link\" (its \"slaves\" too), as qmhost\n"
    "                    reads it; the link options override it\n"
    "  --slave N[,N...]  RTU: the unit's slave id, 1 to 247 (default 1); several ids are\n"
    "                    several units on the one line, each with its own state; requests\n"
    "                    are counted for the line and the faults hit every unit\n"
    "  --slave-state N=FILE  unit N's state file, over --state (repeatable)\n"
    "  --silent-slave N[,N...]  these units never answer\n"
    "  --state FILE      JSON over the defaults: {\"coils\": {\"276\": 1}, \"regs\": {\"11\": 250}},\n"
    "                    decimal addresses; coils 0/1 or true/false, registers 0 to 65535\n"
    "  --port-file FILE  TCP: write the bound port there once listening\n"
    "Fault switches (requests are counted from 1 as they arrive, answered or not):\n"
    "  --silent-after N  answer the first N requests, then none at all (a unit gone quiet)\n"
    "  --exception ADDR  answer reads of coils or registers that cover ADDR with exception 2\n"
    "                    (illegal data address)\n"
    "  --drop-every N    leave every Nth request unanswered (a lost frame); N from 1\n"
    "  --wrong-echo      store single-register writes but echo value + 1, so the host\n"
    "                    sees an unconfirmed write\n"
    "  --drop P          leave each request unanswered with the chance P (0 to 1)\n"
    "  --duplicate P     send each answer twice, back to back, with the chance P (0 to 1)\n"
    "  --duplicate-late MS  send the second copy MS ms after the first instead\n"
    "  --fault-seed N    seeds the draws of --drop and --duplicate (default 1): the same\n"
    "                    seed, the same requests hit\n"
    "Line faults (each answer, or with --fault-address only reads covering ADDR, and with\n"
    "--fault-every N only every Nth of those):\n"
    "  --late MS         answer MS ms late; --busy queue: requests arriving meanwhile are\n"
    "                    answered in turn after it, --busy ignore: they are dropped\n"
    "  --bad-crc         spoil the answer's CRC (RTU)\n"
    "  --other-slave     answer with another slave id (RTU)\n"
    "  --truncated       cut the answer short\n"
    "  --trickle MS      send the answer byte by byte, MS ms apart\n"
    "  --fault-address ADDR  the line faults hit only reads covering ADDR\n"
    "  --fault-every N   the line faults hit only every Nth answer they apply to\n"
    "Ready: \"qmsim: listening on HOST:PORT\" or \"qmsim: serving DEVICE ...\" on stdout.\n"
    "Stops cleanly on SIGINT or SIGTERM.\n";

std::atomic<bool> g_stop{false};

extern "C" void on_stop_signal(int) { g_stop = true; }

struct Options {
    LinkOptions link;
    std::string config;
    LinkSettings line;  // what the link options and --config make of it
    std::string state_file;
    std::vector<std::pair<int, std::string>> slave_states;
    std::vector<int> silent_slaves;
    std::string port_file;
    UnitFaults faults;

    bool tcp() const { return line.kind == LinkSettings::Kind::Tcp; }
};

void check_units(const Options& o)
{
    const std::vector<int> units = o.line.units();
    const auto on_line = [&](int id) { return std::find(units.begin(), units.end(), id) != units.end(); };
    if ((units.size() > 1 || !o.slave_states.empty() || !o.silent_slaves.empty()) && o.tcp())
        throw UsageError("--slave with several ids, --slave-state and --silent-slave need --rtu");
    for (const auto& state : o.slave_states)
        if (!on_line(state.first)) throw UsageError("--slave-state " + std::to_string(state.first) + ": not in --slave");
    for (int id : o.silent_slaves)
        if (!on_line(id)) throw UsageError("--silent-slave " + std::to_string(id) + ": not in --slave");
}

void take_slave_state(Options& o, const std::string& option, const std::string& given)
{
    const std::size_t equals = given.find('=');
    if (equals == std::string::npos || equals + 1 == given.size())
        throw UsageError(option + " takes N=FILE, not \"" + given + "\"");
    o.slave_states.emplace_back(parse_slave_id(option, given.substr(0, equals)), given.substr(equals + 1));
}

// A probability, 0 to 1.
double parse_chance(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        throw UsageError(option + " takes a chance from 0 to 1, e.g. 0.05, not \"" + text + "\"");
    return value;
}

using Setter = void (*)(Options&, const std::string& option, const std::string& value);

struct ValueOption {
    const char* name;
    Setter set;
};

// qmsim's own options taking a value; the link options are shared.
const ValueOption kValueOptions[] = {
    {"--config", [](Options& o, const std::string&, const std::string& v) { o.config = v; }},
    {"--state", [](Options& o, const std::string&, const std::string& v) { o.state_file = v; }},
    {"--slave-state", take_slave_state},
    {"--silent-slave",
     [](Options& o, const std::string& option, const std::string& v) {
         for (int id : parse_slave_ids(option, v)) o.silent_slaves.push_back(id);
     }},
    {"--silent-after",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.silent_after = parse_integer<long>(option, v, 0, LONG_MAX);
     }},
    {"--exception",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.exception_address = parse_integer<int>(option, v, 0, 65535);
     }},
    {"--drop-every",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.drop_every = parse_integer<long>(option, v, 1, LONG_MAX);
     }},
    {"--drop",
     [](Options& o, const std::string& option, const std::string& v) { o.faults.drop = parse_chance(option, v); }},
    {"--duplicate",
     [](Options& o, const std::string& option, const std::string& v) { o.faults.duplicate = parse_chance(option, v); }},
    {"--duplicate-late",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.duplicate_late_ms = parse_integer<int>(option, v, 1, 60000);
     }},
    {"--fault-seed",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.fault_seed = parse_integer<unsigned long>(option, v, 0, 0xFFFFFFFFLL);
     }},
    {"--late",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.late_ms = parse_integer<int>(option, v, 1, 60000);
     }},
    {"--busy",
     [](Options& o, const std::string&, const std::string& v) {
         if (v != "queue" && v != "ignore") throw UsageError("--busy takes queue or ignore");
         o.faults.ignore_while_late = v == "ignore";
     }},
    {"--trickle",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.trickle_ms = parse_integer<int>(option, v, 1, 10000);
     }},
    {"--fault-address",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.address = parse_integer<int>(option, v, 0, 65535);
     }},
    {"--fault-every",
     [](Options& o, const std::string& option, const std::string& v) {
         o.faults.every = parse_integer<long>(option, v, 1, LONG_MAX);
     }},
    {"--port-file", [](Options& o, const std::string&, const std::string& v) { o.port_file = v; }},
};

const ValueOption* value_option_named(const std::string& name)
{
    for (const ValueOption& option : kValueOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// Switches, by name.
bool* switch_named(Options& o, const std::string& name)
{
    if (name == "--wrong-echo") return &o.faults.wrong_echo;
    if (name == "--bad-crc") return &o.faults.bad_crc;
    if (name == "--other-slave") return &o.faults.other_slave;
    if (name == "--truncated") return &o.faults.truncated;
    return nullptr;
}

void take_option(Options& o, const OptionWord& option, ArgumentWords& words)
{
    if (bool* flag = switch_named(o, option.name)) {
        ArgumentWords::check_switch(option);
        *flag = true;
    } else if (const ValueOption* taking = value_option_named(option.name)) {
        taking->set(o, option.name, words.value_of(option));
    } else if (is_link_option(LinkEnd::Unit, option.name)) {
        take_link_option(option.name, words.value_of(option), LinkEnd::Unit, o.link);
    } else {
        throw UsageError("unknown option " + option.name);
    }
}

// The line from --config's "link", the link options over it.
LinkSettings line_of(const Options& o)
{
    if (o.config.empty()) return link_over(o.link, std::nullopt);
    const DeviceJson device = read_device_json(o.config);
    for (const std::string& warning : device.warnings) std::cerr << "qmsim: warning: " << warning << std::endl;
    return link_over(o.link, device.link);
}

Options parse_options(int argc, char** argv)
{
    Options o;
    for (ArgumentWords words(argc, argv, 1); !words.done();) {
        const std::string word = words.take();
        const auto option = option_word(word);
        if (!option) throw UsageError("unexpected argument \"" + word + "\"");
        take_option(o, *option, words);
    }
    o.line = line_of(o);
    if (!o.port_file.empty() && !o.tcp()) throw UsageError("--port-file needs --tcp");
    check_units(o);
    return o;
}

std::string id_list(const std::vector<int>& ids)
{
    std::string text;
    for (int id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
    return text;
}

// --state for every unit, then each unit's own --slave-state over it.
void apply_states(UnitServer& unit, const Options& o)
{
    // slave 0: every unit on the line.
    const auto apply = [&](const std::string& path, int slave) {
        try {
            if (slave == 0)
                unit.apply_state(read_json_file("state file", path));
            else
                unit.apply_state(read_json_file("state file", path), slave);
        } catch (const std::invalid_argument& e) {
            throw ConfigError("state file " + path + ": " + e.what());
        }
    };
    if (!o.state_file.empty()) apply(o.state_file, 0);
    const std::vector<int> units = o.line.units();
    for (std::size_t i = 1; i < units.size(); ++i) unit.add_slave(units[i]);
    for (const auto& state : o.slave_states) apply(state.second, state.first);
    for (int id : o.silent_slaves) unit.set_silent(id);
}

// Written whole under a temporary name, so a reader never sees half a port.
void write_port_file(const std::string& path, int port)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary);
        out << port << "\n";
        if (!out.flush()) throw std::runtime_error("cannot write port file " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write port file " + path + ": " + std::strerror(errno));
}

void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int run(const Options& o)
{
    UnitServer unit;
    // Over RTU the line comes first: it gives the first unit its slave id.
    if (!o.tcp()) unit.open_rtu(o.line);
    apply_states(unit, o);
    unit.set_faults(o.faults);
    catch_stop_signals();

    std::string ready;
    if (o.tcp()) {
        const int port = unit.listen_tcp(o.line.host, o.line.port);
        if (!o.port_file.empty()) write_port_file(o.port_file, port);
        ready = "listening on " + host_port_text(o.line.host, port);
    } else {
        const std::vector<int> units = o.line.units();
        ready = "serving " + o.line.serial_text() +
                (units.size() > 1 ? " as slaves " + id_list(units) : " as slave " + std::to_string(o.line.slave));
    }
    std::cout << "qmsim: " << ready << std::endl;
    unit.serve(g_stop);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "qmsim " << QM_VERSION << "\n";
        return 0;
    }
    try {
        return run(parse_options(argc, argv));
    } catch (const ConfigError& e) {
        std::cerr << "qmsim: " << e.what() << "\n";
        return 2;
    } catch (const UsageError& e) {
        std::cerr << "qmsim: " << e.what() << " (qmsim --help for usage)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "qmsim: " << e.what() << "\n";
        return 1;
    }
}
