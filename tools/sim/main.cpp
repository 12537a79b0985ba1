// qmsim: the air-conditioning unit as a Modbus slave on TCP or a serial line,
// for bench tests of the driver without the unit.
#include "tools/common/arguments.hpp"
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
    "             [--stop-bits 1]) [--slave N[,N...]] [--state FILE] [--slave-state N=FILE]...\n"
    "             [--silent-slave N[,N...]] [--silent-after N] [--exception ADDR]\n"
    "             [--drop-every N] [--wrong-echo] [--port-file FILE]\n"
    "             [--late MS [--busy queue|ignore]] [--bad-crc] [--other-slave] [--truncated]\n"
    "             [--trickle MS] [--fault-address ADDR] [--fault-every N]\n"
    "       qmsim --version\n"
    "The air-conditioning unit as a Modbus slave: coils and holding registers at every\n"
    "address 0 to 65535, starting from the values of a running unit without alarms.\n"
    "  --tcp HOST:PORT   listen on HOST:PORT (port 0: a free one); answers every unit id\n"
    "  --rtu DEVICE      serve a serial line (or one end of a pseudo-terminal pair)\n"
    "  --slave N[,N...]  RTU: the unit's slave id (default 1); several ids are several units\n"
    "                    on the one line, each with its own state; requests are counted\n"
    "                    for the line and the faults hit every unit\n"
    "  --slave-state N=FILE  unit N's state file, over --state (repeatable)\n"
    "  --silent-slave N[,N...]  these units never answer\n"    "  --state FILE      JSON over the defaults: {\"coils\": {\"276\": 1}, \"regs\": {\"11\": 250}},\n"
    "                    decimal addresses; coils 0/1 or true/false, registers 0 to 65535\n"
    "  --port-file FILE  TCP: write the bound port there once listening\n"
    "Fault switches (requests are counted from 1 as they arrive, answered or not):\n"
    "  --silent-after N  answer the first N requests, then none at all (a unit gone quiet)\n"
    "  --exception ADDR  answer reads of coils or registers that cover ADDR with exception 2\n"
    "                    (illegal data address)\n"
    "  --drop-every N    leave every Nth request unanswered (a lost frame); N from 1\n"
    "  --wrong-echo      store single-register writes but echo value + 1, so the host\n"
    "                    sees an unconfirmed write\n"
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
    bool tcp = false;
    std::string host;
    int port = 0;
    bool rtu = false;
    SerialLine line;
    std::string state_file;
    std::vector<int> slaves;  // the line's units; the first is line.slave
    std::vector<std::pair<int, std::string>> slave_states;
    std::vector<int> silent_slaves;
    std::string port_file;
    UnitFaults faults;
};

std::vector<int> slave_ids(const std::string& option, const std::string& text)
{
    std::vector<int> ids;
    std::size_t start = 0;
    for (std::size_t comma; start <= text.size(); start = comma + 1) {
        comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const int id = parse_integer<int>(option, text.substr(start, comma - start), 1, 247);
        if (std::find(ids.begin(), ids.end(), id) != ids.end())
            throw UsageError(option + " lists " + std::to_string(id) + " twice");
        ids.push_back(id);
    }
    return ids;
}

void check_units(const Options& o)
{
    const auto on_line = [&](int id) { return std::find(o.slaves.begin(), o.slaves.end(), id) != o.slaves.end(); };
    if ((o.slaves.size() > 1 || !o.slave_states.empty() || !o.silent_slaves.empty()) && !o.rtu)
        throw UsageError("--slave with several ids, --slave-state and --silent-slave need --rtu");
    for (const auto& state : o.slave_states)
        if (!on_line(state.first)) throw UsageError("--slave-state " + std::to_string(state.first) + ": not in --slave");
    for (int id : o.silent_slaves)
        if (!on_line(id)) throw UsageError("--silent-slave " + std::to_string(id) + ": not in --slave");
}

Options parse_options(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError(option + " needs a value");
            return argv[++i];
        };
        if (option == "--tcp") {
            const std::string where = value();
            const std::size_t colon = where.rfind(':');
            if (colon == std::string::npos || colon == 0) throw UsageError("--tcp takes HOST:PORT, not \"" + where + "\"");
            o.tcp = true;
            o.host = where.substr(0, colon);
            o.port = parse_integer<int>("--tcp port", where.substr(colon + 1), 0, 65535);
        } else if (option == "--rtu") {
            o.rtu = true;
            o.line.device = value();
        } else if (option == "--baud") {
            o.line.baud = parse_integer<int>(option, value(), 50, 4000000);
        } else if (option == "--parity") {
            const std::string parity = value();
            if (parity != "N" && parity != "E" && parity != "O") throw UsageError("--parity takes N, E or O");
            o.line.parity = parity[0];
        } else if (option == "--data-bits") {
            o.line.data_bits = parse_integer<int>(option, value(), 5, 8);
        } else if (option == "--stop-bits") {
            o.line.stop_bits = parse_integer<int>(option, value(), 1, 2);
        } else if (option == "--slave") {
            o.slaves = slave_ids(option, value());
            o.line.slave = o.slaves.front();
        } else if (option == "--state") {
            o.state_file = value();
        } else if (option == "--slave-state") {
            const std::string given = value();
            const std::size_t equals = given.find('=');
            if (equals == std::string::npos || equals + 1 == given.size())
                throw UsageError("--slave-state takes N=FILE, not \"" + given + "\"");
            o.slave_states.emplace_back(parse_integer<int>(option, given.substr(0, equals), 1, 247),
                                        given.substr(equals + 1));
        } else if (option == "--silent-slave") {
            for (int id : slave_ids(option, value())) o.silent_slaves.push_back(id);
        } else if (option == "--silent-after") {
            o.faults.silent_after = parse_integer<long>(option, value(), 0, LONG_MAX);
        } else if (option == "--exception") {
            o.faults.exception_address = parse_integer<int>(option, value(), 0, 65535);
        } else if (option == "--drop-every") {
            o.faults.drop_every = parse_integer<long>(option, value(), 1, LONG_MAX);
        } else if (option == "--wrong-echo") {
            o.faults.wrong_echo = true;
        } else if (option == "--late") {
            o.faults.late_ms = parse_integer<int>(option, value(), 1, 60000);
        } else if (option == "--busy") {
            const std::string busy = value();
            if (busy != "queue" && busy != "ignore") throw UsageError("--busy takes queue or ignore");
            o.faults.ignore_while_late = busy == "ignore";
        } else if (option == "--bad-crc") {
            o.faults.bad_crc = true;
        } else if (option == "--other-slave") {
            o.faults.other_slave = true;
        } else if (option == "--truncated") {
            o.faults.truncated = true;
        } else if (option == "--trickle") {
            o.faults.trickle_ms = parse_integer<int>(option, value(), 1, 10000);
        } else if (option == "--fault-address") {
            o.faults.address = parse_integer<int>(option, value(), 0, 65535);
        } else if (option == "--fault-every") {
            o.faults.every = parse_integer<long>(option, value(), 1, LONG_MAX);
        } else if (option == "--port-file") {
            o.port_file = value();
        } else {
            throw UsageError("unknown option " + option);
        }
    }
    if (o.tcp == o.rtu) throw UsageError("give either --tcp HOST:PORT or --rtu DEVICE");
    if (!o.port_file.empty() && !o.tcp) throw UsageError("--port-file needs --tcp");
    if (o.slaves.empty()) o.slaves.push_back(o.line.slave);
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
            throw std::runtime_error("state file " + path + ": " + e.what());
        }
    };
    if (!o.state_file.empty()) apply(o.state_file, 0);
    for (std::size_t i = 1; i < o.slaves.size(); ++i) unit.add_slave(o.slaves[i]);
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
    if (o.rtu) unit.open_rtu(o.line);
    apply_states(unit, o);
    unit.set_faults(o.faults);
    catch_stop_signals();

    std::string ready;
    if (o.tcp) {
        const int port = unit.listen_tcp(o.host, o.port);
        if (!o.port_file.empty()) write_port_file(o.port_file, port);
        ready = "listening on " + o.host + ":" + std::to_string(port);
    } else {
        ready = "serving " + o.line.serial_text() +
                (o.slaves.size() > 1 ? " as slaves " + id_list(o.slaves) : " as slave " + std::to_string(o.line.slave));
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
    } catch (const UsageError& e) {
        std::cerr << "qmsim: " << e.what() << " (qmsim --help for usage)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "qmsim: " << e.what() << "\n";
        return 1;
    }
}
