// The floor for the loopback comparison: the polling chain's 45 reads, in
// the chain's order, issued with libmodbus alone over one TCP connection;
// no driver, no host. With --flush it also flushes before each request,
// as the stand-in host's link does.
//
//   qm_plain_loop --tcp 127.0.0.1:PORT --cycles N [--flush]
#include "driver/polling_chain.hpp"

#include <modbus/modbus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Options {
    std::string host;
    std::string port;
    long cycles = 0;
    bool flush = false;
};

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tcp" && i + 1 < argc) {
            const std::string where = argv[++i];
            const std::size_t colon = where.rfind(':');
            if (colon == std::string::npos || colon == 0) return false;
            o.host = where.substr(0, colon);
            o.port = where.substr(colon + 1);
        } else if (arg == "--cycles" && i + 1 < argc) {
            o.cycles = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--flush") {
            o.flush = true;
        } else {
            return false;
        }
    }
    return !o.host.empty() && o.cycles > 0;
}

// One cycle: every read of the chain, each answer whole; false at the first
// that fails.
bool run_cycle(modbus_t* ctx, bool flush)
{
    uint8_t bits[MODBUS_MAX_READ_BITS];
    uint16_t registers[MODBUS_MAX_READ_REGISTERS];
    for (const PollRead& read : kPollingChain) {
        if (flush) modbus_flush(ctx);
        const int got = read.kind == ReadKind::Bits ? modbus_read_bits(ctx, read.address, read.count, bits)
                                                    : modbus_read_registers(ctx, read.address, read.count, registers);
        if (got != read.count) {
            std::fprintf(stderr, "qm_plain_loop: read %s at %d: %s\n", read.field, read.address,
                         modbus_strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: qm_plain_loop --tcp HOST:PORT --cycles N [--flush]\n");
        return 2;
    }
    modbus_t* ctx = modbus_new_tcp_pi(o.host.c_str(), o.port.c_str());
    if (!ctx) {
        std::fprintf(stderr, "qm_plain_loop: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 0, 500000);
    if (modbus_connect(ctx) == -1) {
        std::fprintf(stderr, "qm_plain_loop: cannot connect to %s:%s: %s\n", o.host.c_str(), o.port.c_str(),
                     modbus_strerror(errno));
        modbus_free(ctx);
        return 1;
    }
    int rc = 0;
    for (long c = 0; c < o.cycles; ++c)
        if (!run_cycle(ctx, o.flush)) {
            rc = 1;
            break;
        }
    modbus_close(ctx);
    modbus_free(ctx);
    return rc;
}
