#include "tools/sim/unit_server.hpp"

#include "host/libmodbus_link.hpp"
#include "tools/sim/rtu_crc.hpp"

#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace {

constexpr uint32_t kPollUsec = 50000;  // longest wait before looking at the stop flag

}  // namespace

UnitServer::~UnitServer()
{
    for (int fd : clients_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
    // Over TCP the context only borrows the client sockets, closed above.
    if (ctx_ && listener_ < 0) modbus_close(ctx_);
    if (ctx_) modbus_free(ctx_);
}

int UnitServer::listen_tcp(const std::string& host, int port)
{
    if (ctx_) throw std::logic_error("the unit is already on a line");
    const std::string where = host + ":" + std::to_string(port);
    // libmodbus leaves errno unset when the name does not resolve.
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.empty() ? nullptr : host.c_str(), "0", &hints, &found);
    if (resolved != 0) throw std::runtime_error("cannot listen on " + where + ": " + gai_strerror(resolved));
    freeaddrinfo(found);
    ctx_ = modbus_new_tcp_pi(host.c_str(), std::to_string(port).c_str());
    if (!ctx_) throw std::runtime_error("cannot listen on " + where + ": " + modbus_strerror(errno));
    listener_ = modbus_tcp_pi_listen(ctx_, 8);
    if (listener_ < 0) throw std::runtime_error("cannot listen on " + where + ": " + modbus_strerror(errno));
    modbus_set_indication_timeout(ctx_, 0, kPollUsec);
    modbus_set_byte_timeout(ctx_, 0, kPollUsec);

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
    // The port sits at the same place in IPv4 and IPv6 addresses.
    return ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
}

void UnitServer::open_rtu(const SerialLine& line)
{
    if (ctx_) throw std::logic_error("the unit is already on a line");
    const std::string where = "rtu " + line.serial_text();
    ctx_ = modbus_new_rtu(line.device.c_str(), line.baud, line.parity, line.data_bits, line.stop_bits);
    if (!ctx_) throw std::runtime_error("cannot open " + where + ": " + modbus_strerror(errno));
    if (modbus_set_slave(ctx_, line.slave) == -1)
        throw std::runtime_error("bad slave id " + std::to_string(line.slave) + ": " + modbus_strerror(errno));
    if (modbus_connect(ctx_) == -1) throw std::runtime_error("cannot open " + where + ": " + modbus_strerror(errno));
    // Locked as the host locks its end: two units serving one device would
    // both answer.
    const std::string refused = lock_serial_device(modbus_get_socket(ctx_), line.device);
    if (!refused.empty()) throw std::runtime_error("cannot open " + where + ": " + refused);
    modbus_set_indication_timeout(ctx_, 0, kPollUsec);
    modbus_set_byte_timeout(ctx_, 0, kPollUsec);
    answer_as(line.slave);
}

void UnitServer::serve(const std::atomic<bool>& stop)
{
    if (!ctx_) throw std::logic_error("the unit is on no line");
    stop_ = &stop;
    if (listener_ >= 0) serve_tcp(stop);
    else serve_rtu(stop);
}

void UnitServer::serve_tcp(const std::atomic<bool>& stop)
{
    while (!stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        int top = listener_;
        for (int fd : clients_) {
            FD_SET(fd, &readable);
            if (fd > top) top = fd;
        }
        timeval wait{0, kPollUsec};
        // Nothing ready, or a signal: look at the flag again.
        if (select(top + 1, &readable, nullptr, nullptr, &wait) <= 0) continue;

        for (auto it = clients_.begin(); it != clients_.end();) {
            bool alive = true;
            if (FD_ISSET(*it, &readable)) {
                uint8_t query[MODBUS_MAX_ADU_LENGTH];
                modbus_set_socket(ctx_, *it);
                const int length = modbus_receive(ctx_, query);
                alive = length >= 0 && (length == 0 || answer(query, length));
            }
            if (alive) {
                ++it;
            } else {
                ::close(*it);
                it = clients_.erase(it);
            }
        }
        if (FD_ISSET(listener_, &readable)) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd >= 0) clients_.push_back(fd);
        }
    }
}

void UnitServer::serve_rtu(const std::atomic<bool>& stop)
{
    const int fd = modbus_get_socket(ctx_);
    while (!stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval wait{0, kPollUsec};
        if (select(fd + 1, &readable, nullptr, nullptr, &wait) <= 0) continue;

        uint8_t query[MODBUS_MAX_ADU_LENGTH];
        // libmodbus takes only its one slave id's requests off the line.
        const int length = shares_line() ? receive_request(query) : modbus_receive(ctx_, query);
        if (length > 0) {
            answer(query, length);
        } else if (length == -1) {
            // A bad or cut frame: start afresh at the next one. Anything else
            // is the line itself (device gone, hang-up).
            if (errno != ETIMEDOUT && errno < MODBUS_ENOBASE)
                throw std::runtime_error(std::string("serial line lost: ") + modbus_strerror(errno));
            modbus_flush(ctx_);
        }
    }
}

// Reads a frame as libmodbus does for its own slave, for whichever slave it
// addresses: the function code gives the length. Errors leave errno as
// modbus_receive would (ETIMEDOUT or EMBBADCRC for a bad frame).
int UnitServer::receive_request(uint8_t* query)
{
    const int fd = modbus_get_socket(ctx_);
    const auto take = [&](int at, int count) {
        for (int got = 0; got < count;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd, &readable);
            timeval wait{0, kPollUsec};
            const int ready = select(fd + 1, &readable, nullptr, nullptr, &wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                if (ready == 0) errno = ETIMEDOUT;
                return false;
            }
            const ssize_t n = ::read(fd, query + at + got, static_cast<std::size_t>(count - got));
            if (n <= 0) {
                if (n == 0) errno = EIO;
                return false;
            }
            got += static_cast<int>(n);
        }
        return true;
    };
    // Slave id and function; then what follows the function up to the CRC.
    if (!take(0, 2)) return -1;
    int length = 2;
    int rest = 0;
    switch (query[1]) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        rest = 4;
        break;
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        if (!take(length, 5)) return -1;
        length += 5;
        rest = query[length - 1];
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        if (!take(length, 9)) return -1;
        length += 9;
        rest = query[length - 1];
        break;
    default:
        errno = EMBBADDATA;
        return -1;
    }
    if (!take(length, rest + 2)) return -1;
    length += rest + 2;
    const uint16_t crc = rtu_crc16(query, static_cast<std::size_t>(length - 2));
    if (query[length - 2] != (crc & 0xFF) || query[length - 1] != (crc >> 8)) {
        errno = EMBBADCRC;
        return -1;
    }
    return length;
}

bool UnitServer::answer(const uint8_t* query, int length)
{
    const long n = faults_.count();
    const int pdu = modbus_get_header_length(ctx_);
    if (!answers(query[pdu - 1])) return true;
    const FaultLine::Turn turn = faults_.turn(n, query + pdu);
    if (!turn.answered) return true;
    std::vector<uint8_t> frame = render(query, length, turn.faults);
    if (frame.empty()) return false;
    const int copy_late_ms = turn.duplicated ? turn.faults.duplicate_late_ms : 0;
    // Both copies in one write: the second is on the line before the host can send again.
    if (turn.duplicated && copy_late_ms == 0) frame = twice(frame);
    if (!send_answer(frame, turn)) return false;
    // The copy a unit sends after a pause is the answer as it went out.
    if (copy_late_ms > 0 && pause(copy_late_ms)) return send_frame(frame, 0);
    return true;
}

bool UnitServer::send_answer(std::vector<uint8_t>& frame, const FaultLine::Turn& turn)
{
    if (!turn.line_faults) return send_frame(frame, 0);
    if (turn.faults.late_ms > 0) {
        if (!pause(turn.faults.late_ms)) return true;
        if (turn.faults.ignore_while_late) modbus_flush(ctx_);
    }
    spoil(frame, turn.faults, listener_ < 0);
    return send_frame(frame, turn.faults.trickle_ms);
}

// libmodbus writes its reply straight to the line; it is caught on a socket
// pair instead, to be sent late, spoilt or slowly.
std::vector<uint8_t> UnitServer::render(const uint8_t* query, int length, const UnitFaults& faults)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return {};
    const int line = modbus_get_socket(ctx_);
    modbus_set_socket(ctx_, pair[0]);
    const int pdu = modbus_get_header_length(ctx_);
    const Tables tables = tables_of(query[pdu - 1]);
    modbus_mapping_t* mapping = tables.mapping();
    int sent = -1;
    if (read_covers(query + pdu, faults.exception_address)) {
        sent = modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    } else if (faults.wrong_echo && query[pdu] == MODBUS_FC_WRITE_SINGLE_REGISTER && length >= pdu + 5) {
        // Reply to a copy carrying value + 1, then keep the value that was asked for.
        uint8_t altered[MODBUS_MAX_ADU_LENGTH];
        std::memcpy(altered, query, static_cast<std::size_t>(length));
        const int address = (query[pdu + 1] << 8) | query[pdu + 2];
        const uint16_t value = static_cast<uint16_t>((query[pdu + 3] << 8) | query[pdu + 4]);
        const uint16_t echoed = static_cast<uint16_t>(value + 1);
        altered[pdu + 3] = static_cast<uint8_t>(echoed >> 8);
        altered[pdu + 4] = static_cast<uint8_t>(echoed);
        sent = modbus_reply(ctx_, altered, length, mapping);
        mapping->tab_registers[address] = value;
    } else {
        sent = modbus_reply(ctx_, query, length, mapping);
    }
    modbus_set_socket(ctx_, line);
    std::vector<uint8_t> frame(sent > 0 ? static_cast<std::size_t>(sent) : 0);
    std::size_t got = 0;
    while (got < frame.size()) {
        const ssize_t n = ::read(pair[1], frame.data() + got, frame.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    frame.resize(got);
    ::close(pair[0]);
    ::close(pair[1]);
    return frame;
}

bool UnitServer::send_frame(const std::vector<uint8_t>& frame, int gap_ms)
{
    const int fd = modbus_get_socket(ctx_);
    const std::size_t step = gap_ms > 0 ? 1 : frame.size();
    for (std::size_t sent = 0; sent < frame.size();) {
        if (sent > 0 && !pause(gap_ms)) return true;
        const ssize_t n = ::send(fd, frame.data() + sent, std::min(step, frame.size() - sent), MSG_NOSIGNAL);
        const ssize_t written =
            n < 0 && errno == ENOTSOCK ? ::write(fd, frame.data() + sent, std::min(step, frame.size() - sent)) : n;
        if (written <= 0) return false;
        sent += static_cast<std::size_t>(written);
    }
    return true;
}

bool UnitServer::pause(int ms) const
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stop_ && *stop_) return false;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - std::chrono::steady_clock::now());
        ::usleep(static_cast<useconds_t>(std::min<long long>(left.count(), kPollUsec)));
    }
    return true;
}
