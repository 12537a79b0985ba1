#include "host/libmodbus_link.hpp"

#include "host/contract.hpp"

#include <modbus/modbus.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExceptionFlag = 0x80;
constexpr uint16_t kCoilOn = 0xFF00;
constexpr int kSliceMs = 20;            // longest wait before asking the stop check
constexpr int kMaxByteGapMs = 500;      // longest pause inside one answer (libmodbus's own)
constexpr int kQuietGiveUpFactor = 4;   // a line still talking after 4 guards is given up on
// Modbus TCP's header: transaction id, protocol id (0), length of what
// follows it (the unit id and the PDU).
constexpr int kTcpPrefix = 6;
constexpr int kTcpLeastFollowing = 2;   // unit id and function code
constexpr int kTcpMostFollowing = MODBUS_TCP_MAX_ADU_LENGTH - kTcpPrefix;
// Stray input taken off the line before one request, at most: a line that
// keeps talking garbles the answer and gets the guard.
constexpr std::size_t kMaxStrayBytes = 16 * MODBUS_MAX_ADU_LENGTH;
// Longest wait for a silent line before one request, in frame gaps of 3.5
// characters: two whole frames' time.
constexpr int kChatterSilences = 2 * MODBUS_MAX_ADU_LENGTH * 10 / 35;

// Read by every link, on whatever thread polls it; set and cleared whole.
std::shared_ptr<const std::function<bool()>> g_stop_check;

bool stop_asked()
{
    const auto check = std::atomic_load(&g_stop_check);
    return check && *check && (*check)();
}

int milliseconds_left(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// One address's connection within `until`, or -1 with errno's reason in `error`.
int connect_address(const addrinfo& address, Clock::time_point until, bool& stopped, int& error)
{
    const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    error = ::connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        pollfd waiting{fd, POLLOUT, 0};
        int ready = 0;
        while ((ready = ::poll(&waiting, 1, std::min(kSliceMs, milliseconds_left(until)))) == 0 &&
               Clock::now() < until && !(stopped = stop_asked())) {
        }
        socklen_t length = sizeof error;
        if (ready > 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        else error = ready < 0 ? errno : ETIMEDOUT;
    }
    if (error == 0 && !stopped) return fd;
    ::close(fd);
    return -1;
}

// A TCP connection to the unit, or -1 with `why`. libmodbus's own connect
// waits its whole response timeout for an address that does not answer,
// deaf to a stop (so an agent's stop took up to the line's timeout_ms
// longer); this one asks the stop check between slices.
int connect_tcp(const std::string& host, int port, int timeout_ms, bool& stopped, std::string& why)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        why = ::gai_strerror(rc);
        return -1;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int fd = -1;
    int error = 0;
    for (const addrinfo* a = found; a && fd < 0 && !stopped; a = a->ai_next)
        fd = connect_address(*a, until, stopped, error);
    ::freeaddrinfo(found);
    if (fd < 0) {
        why = stopped ? "stopped while connecting" : std::strerror(error);
        return -1;
    }
    // As libmodbus sets up its own: non-blocking, each request sent at once.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

class LibmodbusLink : public ModbusLink {
public:
    explicit LibmodbusLink(const LinkSettings& settings) : settings_(settings) {}
    ~LibmodbusLink() override
    {
        close();
        if (ctx_) modbus_free(ctx_);
    }

    bool open() override;
    void close() override;
    const LinkFailure& failure() const override { return failure_; }
    const StrayInput* stray_input() const override { return rtu() ? &stray_ : nullptr; }

    bool read_bits(int address, int count, uint8_t* dest) override
    {
        uint8_t answer[MODBUS_MAX_ADU_LENGTH];
        const int bytes = (count + 7) / 8;
        if (!read(contract::modbus::kReadBits, "read bits", address, count, bytes, answer)) return false;
        for (int i = 0; i < count; ++i) dest[i] = (answer[i / 8] >> (i % 8)) & 1;
        return true;
    }

    bool read_registers(int address, int count, uint16_t* dest) override
    {
        uint8_t answer[MODBUS_MAX_ADU_LENGTH];
        if (!read(contract::modbus::kReadRegisters, "read registers", address, count, 2 * count, answer)) return false;
        for (int i = 0; i < count; ++i) dest[i] = static_cast<uint16_t>((answer[2 * i] << 8) | answer[2 * i + 1]);
        return true;
    }

    bool write_bit(int address, bool on, uint16_t& echoed_state) override
    {
        uint16_t echo = 0;
        if (!single_write(contract::modbus::kWriteBit, address, on ? kCoilOn : 0, echo)) return false;
        echoed_state = echo == kCoilOn ? 1 : echo;
        return true;
    }

    bool write_register(int address, uint16_t value, uint16_t& echoed_value) override
    {
        return single_write(contract::modbus::kWriteRegister, address, value, echoed_value);
    }

    bool write_registers(int address, int count, const uint16_t* values, uint16_t& function_code,
                         uint16_t& confirmed_count) override;

    // The unit the next requests go to, on a line shared by several.
    void set_slave(int slave)
    {
        if (settings_.slave == slave) return;
        settings_.slave = slave;
        // libmodbus takes only answers from the slave it is set to.
        if (ctx_) modbus_set_slave(ctx_, slave);
    }

private:
    enum class Wait { Answer, Silent, Stopped, Failed };

    bool rtu() const { return settings_.kind == LinkSettings::Kind::Rtu; }
    bool ready();
    bool lock_device();
    bool wait_for_quiet_line();
    bool keep_frame_silence();
    Wait wait_for_input(int within_ms);
    bool send_request(const uint8_t* request, int length);
    bool take_rtu_answer(const std::string& what, uint8_t* answer, int& answered);
    bool take_tcp_answer(const std::string& what, uint8_t* answer, int& answered);
    bool check_tcp_prefix(const std::string& what, const uint8_t* answer, int& length);
    // A wait for input that got none: the request fails, `silent` when nothing came in time.
    bool no_input(Wait wait, const std::string& what, LinkFailure::Kind silent, std::string silent_reason);
    std::string no_answer_reason() const;
    bool transact(const uint8_t* request, int length, const std::string& what, uint8_t* answer, int& pdu,
                  int& answered);
    bool read(int function, const char* what, int address, int count, int bytes, uint8_t* data);
    bool single_write(int function, int address, uint16_t value, uint16_t& echoed);
    bool write_answer(const uint8_t* request, int length, int address, uint16_t& echoed);

    using Kind = LinkFailure::Kind;

    // Says why the request failed, and leaves the line as it is.
    bool note(Kind kind, const std::string& request, std::string reason, int exception_code = 0);
    // The request failed: nothing that arrives from now on may be taken for
    // a later answer. A serial line gets the guard; a TCP connection is
    // replaced, and with it whatever was still coming on it.
    bool failed(Kind kind, const std::string& request, std::string reason);
    bool line_failed(const std::string& request, int code);
    std::string line_hint() const;
    std::string line_settings() const;

    LinkSettings settings_;
    modbus_t* ctx_ = nullptr;
    bool connected_ = false;
    bool guard_armed_ = false;
    uint16_t transaction_ = 0;     // the last TCP request's transaction id
    int wait_error_ = 0;           // why the last wait for input failed
    Clock::time_point last_seen_;  // the last byte heard, or the failure since which none was
    LinkFailure failure_;
    StrayInput stray_;
};

bool LibmodbusLink::open()
{
    if (connected_) return true;
    if (!ctx_) {
        ctx_ = settings_.kind == LinkSettings::Kind::Tcp
                   ? modbus_new_tcp_pi(settings_.host.c_str(), std::to_string(settings_.port).c_str())
                   : modbus_new_rtu(settings_.device.c_str(), settings_.baud, settings_.parity,
                                    settings_.data_bits, settings_.stop_bits);
        if (!ctx_) return note(Kind::LineDown, "", settings_.describe() + ": " + modbus_strerror(errno));
        modbus_set_slave(ctx_, settings_.slave);
        const int timeout_ms = std::min(settings_.timeout_ms, kMaxLinkTimeoutMs);
        modbus_set_response_timeout(ctx_, static_cast<uint32_t>(timeout_ms / 1000),
                                    static_cast<uint32_t>(timeout_ms % 1000) * 1000);
        modbus_set_byte_timeout(ctx_, 0, static_cast<uint32_t>(std::min(timeout_ms, kMaxByteGapMs)) * 1000);
        // Recovery after a bad answer is the guard's, which can be stopped;
        // libmodbus's own sleeps a whole response timeout.
        modbus_set_error_recovery(ctx_, MODBUS_ERROR_RECOVERY_NONE);
    }
    if (!rtu()) {
        bool stopped = false;
        std::string why;
        const int fd = connect_tcp(settings_.host, settings_.port, std::min(settings_.timeout_ms, kMaxLinkTimeoutMs),
                                   stopped, why);
        if (fd < 0)
            return note(stopped ? Kind::Stopped : Kind::LineDown, "", "cannot open " + settings_.describe() + ": " + why);
        modbus_set_socket(ctx_, fd);
    } else if (modbus_connect(ctx_) == -1) {
        return note(Kind::LineDown, "", "cannot open " + settings_.describe() + ": " + modbus_strerror(errno));
    }
    connected_ = true;
    if (rtu()) {
        if (!lock_device()) return false;
        // Whatever the line held before this process opened it; a frame
        // still arriving gets the silence before the first request.
        modbus_flush(ctx_);
        last_seen_ = Clock::now();
    }
    guard_armed_ = false;
    return true;
}

bool LibmodbusLink::lock_device()
{
    const std::string refused = lock_serial_device(modbus_get_socket(ctx_), settings_.device);
    if (refused.empty()) return true;
    close();
    return note(Kind::LineDown, "", "cannot open " + settings_.describe() + ": " + refused);
}

void LibmodbusLink::close()
{
    if (ctx_ && connected_) modbus_close(ctx_);
    connected_ = false;
}

bool LibmodbusLink::ready()
{
    if (!open()) return false;
    if (!rtu()) return true;
    if (guard_armed_ && !wait_for_quiet_line()) return false;
    return keep_frame_silence();
}

// Input before a request answers no request of this host's: a unit's answer
// sent twice, or one later than its request's timeout and guard. Left there,
// it would be read as this request's answer, and if shaped alike, taken for
// it. So, as the serial line's rule has it, the line must have been silent
// for a frame's end gap since the last byte heard before a request goes out;
// what arrives meanwhile is discarded (kept in part and counted, so the
// runner can say so) and starts the gap again. A line that keeps talking
// gets the request anyway, its answer then garbled and the guard.
bool LibmodbusLink::keep_frame_silence()
{
    const int fd = modbus_get_socket(ctx_);
    const auto silence = std::chrono::microseconds(settings_.frame_silence ? settings_.frame_silence_us() : 0);
    const auto give_up = Clock::now() + std::chrono::milliseconds(kSliceMs) + kChatterSilences * silence;
    uint8_t input[MODBUS_MAX_ADU_LENGTH];
    std::size_t taken = 0;
    for (;;) {
        const auto left = std::max(Clock::duration::zero(), last_seen_ + silence - Clock::now());
        const auto wait = std::min<Clock::duration>(left, std::chrono::milliseconds(kSliceMs));
        const auto wait_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec until{static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        pollfd line{fd, POLLIN, 0};
        const int ready = ::ppoll(&line, 1, &until, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return line_failed("before a request", errno);
        if (ready == 0) {
            if (wait == left) break;
            if (stop_asked()) return note(Kind::Stopped, "", "stopped while waiting for a silent line");
            continue;
        }
        if (!(line.revents & POLLIN)) return line_failed("before a request", EIO);
        const ssize_t n = ::read(fd, input, sizeof input);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return line_failed("before a request", errno);
        if (n == 0) break;
        last_seen_ = Clock::now();
        if (taken == 0) stray_.last.clear();
        const std::size_t keep = std::min(static_cast<std::size_t>(n), StrayInput::kKeptBytes - stray_.last.size());
        stray_.last.insert(stray_.last.end(), input, input + keep);
        taken += static_cast<std::size_t>(n);
        if (taken >= kMaxStrayBytes || last_seen_ >= give_up) break;
    }
    if (taken == 0) return true;
    ++stray_.discards;
    stray_.bytes += static_cast<long>(taken);
    return true;
}

// Waits until nothing has arrived for the guard time, counted from the
// failure or the last byte since, and discards what arrived: a late answer
// to the failed request, or the rest of a garbled one.
bool LibmodbusLink::wait_for_quiet_line()
{
    const int fd = modbus_get_socket(ctx_);
    const auto guard = std::chrono::milliseconds(settings_.effective_guard_ms());
    const auto give_up = Clock::now() + kQuietGiveUpFactor * guard + std::chrono::seconds(1);
    uint8_t discarded[256];
    for (;;) {
        pollfd line{fd, POLLIN, 0};
        if (::poll(&line, 1, 0) > 0) {
            // A line that hung up or failed is reopened at the next request.
            if (!(line.revents & POLLIN)) return line_failed("waiting for a quiet line", EIO);
            const ssize_t n = ::read(fd, discarded, sizeof discarded);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return line_failed("waiting for a quiet line", errno);
            if (n > 0) last_seen_ = Clock::now();
            if (n != 0) continue;
        }
        const int left = milliseconds_left(last_seen_ + guard);
        if (left == 0) break;
        if (stop_asked()) return note(Kind::Stopped, "", "stopped while waiting for a quiet line");
        if (Clock::now() > give_up) return note(Kind::Garbled, "", "the line does not go quiet: " + line_hint());
        line.revents = 0;
        ::poll(&line, 1, std::min(left, kSliceMs));
    }
    guard_armed_ = false;
    return true;
}

LibmodbusLink::Wait LibmodbusLink::wait_for_input(int within_ms)
{
    const int fd = modbus_get_socket(ctx_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(within_ms);
    for (;;) {
        pollfd line{fd, POLLIN, 0};
        const int left = milliseconds_left(deadline);
        const int ready = ::poll(&line, 1, std::min(left, kSliceMs));
        if (ready > 0) return Wait::Answer;
        if (ready < 0 && errno != EINTR) {
            wait_error_ = errno;
            return Wait::Failed;
        }
        if (stop_asked()) return Wait::Stopped;
        if (left == 0) return Wait::Silent;
    }
}

bool LibmodbusLink::no_input(Wait wait, const std::string& what, Kind silent, std::string silent_reason)
{
    if (wait == Wait::Stopped) return failed(Kind::Stopped, what, "stopped while waiting for the answer");
    if (wait == Wait::Failed) return line_failed(what, wait_error_);
    return failed(silent, what, std::move(silent_reason));
}

std::string LibmodbusLink::no_answer_reason() const
{
    const std::string waited = "no answer, timed out after " + std::to_string(settings_.timeout_ms) + " ms: ";
    if (rtu())
        return waited + "check the slave id (" + std::to_string(settings_.slave) + "), " + line_settings() +
               " and the A/B wiring";
    return waited + "check the unit id (" + std::to_string(settings_.slave) + ")";
}

std::string LibmodbusLink::line_hint() const
{
    // A TCP link has no line speed: what garbles there is what answers.
    if (!rtu()) return "check that " + settings_.describe() + " is a Modbus TCP unit or gateway";
    return "check " + line_settings();
}

std::string LibmodbusLink::line_settings() const
{
    return "the line speed and parity (" + settings_.framing_text() + ")";
}

bool LibmodbusLink::note(Kind kind, const std::string& request, std::string reason, int exception_code)
{
    failure_.kind = kind;
    failure_.exception_code = exception_code;
    failure_.request = request;
    failure_.reason = std::move(reason);
    return false;
}

bool LibmodbusLink::failed(Kind kind, const std::string& request, std::string reason)
{
    note(kind, request, std::move(reason));
    if (rtu()) {
        guard_armed_ = true;
        last_seen_ = Clock::now();
    } else {
        close();
    }
    return false;
}

// The line itself failed (device gone, connection reset or refused): it is
// reopened at the next request.
bool LibmodbusLink::line_failed(const std::string& request, int code)
{
    failed(Kind::LineDown, request, modbus_strerror(code));
    close();
    return false;
}

// Sends one request and takes the frame that answers it; `pdu` is where the
// answer's function code sits. Only the function code is checked here.
bool LibmodbusLink::transact(const uint8_t* request, int length, const std::string& what, uint8_t* answer,
                             int& pdu, int& answered)
{
    if (!ready()) return false;
    if (!send_request(request, length)) return line_failed(what, errno);
    const Wait wait = wait_for_input(settings_.timeout_ms);
    if (wait != Wait::Answer) return no_input(wait, what, Kind::NoAnswer, no_answer_reason());

    const bool taken = rtu() ? take_rtu_answer(what, answer, answered) : take_tcp_answer(what, answer, answered);
    last_seen_ = Clock::now();
    if (!taken) return false;
    pdu = modbus_get_header_length(ctx_);
    if (answered < pdu + 2) return failed(Kind::Garbled, what, "answer cut short: " + line_hint());
    if (answer[pdu] == (request[1] | kExceptionFlag)) {
        // The unit is there and understood: no guard needed, but the error is its own.
        const int code = answer[pdu + 1];
        return note(Kind::Exception, what,
                    "the unit answered exception " + std::to_string(code) + " (" +
                        modbus_strerror(MODBUS_ENOBASE + code) + ")",
                    code);
    }
    if (answer[pdu] != request[1])
        return failed(Kind::Garbled, what,
                      "answer with function " + std::to_string(answer[pdu]) + " to a request with " +
                          std::to_string(request[1]) + ": " + line_hint());
    return true;
}

// A TCP request goes out with its header written here, so that its answer
// can be matched by transaction id.
bool LibmodbusLink::send_request(const uint8_t* request, int length)
{
    if (rtu()) return modbus_send_raw_request(ctx_, request, length) != -1;
    uint8_t frame[MODBUS_TCP_MAX_ADU_LENGTH];
    if (length < kTcpLeastFollowing || length > kTcpMostFollowing) {
        errno = EINVAL;
        return false;
    }
    ++transaction_;
    frame[0] = static_cast<uint8_t>(transaction_ >> 8);
    frame[1] = static_cast<uint8_t>(transaction_);
    frame[2] = frame[3] = 0;
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length);
    std::memcpy(frame + kTcpPrefix, request, static_cast<std::size_t>(length));
    const ssize_t sent = ::send(modbus_get_socket(ctx_), frame, static_cast<std::size_t>(kTcpPrefix + length), MSG_NOSIGNAL);
    if (sent == kTcpPrefix + length) return true;
    if (sent >= 0) errno = EIO;
    return false;
}

bool LibmodbusLink::take_rtu_answer(const std::string& what, uint8_t* answer, int& answered)
{
    answered = modbus_receive_confirmation(ctx_, answer);
    if (answered == -1) {
        const int code = errno;
        if (code == EMBBADCRC) return failed(Kind::Garbled, what, "answer with a bad CRC: " + line_hint());
        if (code == ETIMEDOUT) return failed(Kind::Garbled, what, "answer cut short: " + line_hint());
        if (code >= MODBUS_ENOBASE)
            return failed(Kind::Garbled, what, std::string(modbus_strerror(code)) + ": " + line_hint());
        return line_failed(what, code);
    }
    if (answered == 0)
        return failed(Kind::Garbled, what,
                      "answer from slave " + std::to_string(answer[0]) + " instead of " +
                          std::to_string(settings_.slave) + ": " + line_hint() +
                          ", and that no other unit on the line has that id");
    return true;
}

// A unit on TCP sends its answer in one segment, and it is taken in one read
// (libmodbus reads it in three, each after a select: six system calls a
// request where this makes one). Framed by the header's length; what follows
// the frame answers no request and fails it.
bool LibmodbusLink::take_tcp_answer(const std::string& what, uint8_t* answer, int& answered)
{
    const int fd = modbus_get_socket(ctx_);
    const int byte_gap_ms = std::min(settings_.timeout_ms, kMaxByteGapMs);
    int need = kTcpPrefix;
    answered = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, answer + answered, static_cast<std::size_t>(MODBUS_TCP_MAX_ADU_LENGTH - answered), 0);
        if (n == 0) return line_failed(what, ECONNRESET);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return line_failed(what, errno);
        if (n > 0) {
            const bool had_prefix = answered >= kTcpPrefix;
            answered += static_cast<int>(n);
            if (!had_prefix && answered >= kTcpPrefix && !check_tcp_prefix(what, answer, need)) return false;
            if (answered > need)
                return failed(Kind::Garbled, what,
                              "answer followed by " + std::to_string(answered - need) +
                                  " bytes that no request asked for: " + line_hint());
            if (answered == need && need > kTcpPrefix) return true;
        }
        const Wait wait = wait_for_input(byte_gap_ms);
        if (wait != Wait::Answer) return no_input(wait, what, Kind::Garbled, "answer cut short: " + line_hint());
    }
}

bool LibmodbusLink::check_tcp_prefix(const std::string& what, const uint8_t* answer, int& length)
{
    const int transaction = (answer[0] << 8) | answer[1];
    const int protocol = (answer[2] << 8) | answer[3];
    const int following = (answer[4] << 8) | answer[5];
    if (protocol != 0)
        return failed(Kind::Garbled, what, "answer with protocol id " + std::to_string(protocol) + ", not 0: " + line_hint());
    if (following < kTcpLeastFollowing || following > kTcpMostFollowing)
        return failed(Kind::Garbled, what, "answer with a length of " + std::to_string(following) + ": " + line_hint());
    if (transaction != transaction_)
        return failed(Kind::Garbled, what,
                      "answer to transaction " + std::to_string(transaction) + ", not " + std::to_string(transaction_) +
                          ": " + line_hint());
    length = kTcpPrefix + following;
    return true;
}

bool LibmodbusLink::read(int function, const char* what, int address, int count, int bytes, uint8_t* data)
{
    const std::string where = std::string(what) + " at " + std::to_string(address) +
                              (count > 1 ? " to " + std::to_string(address + count - 1) : std::string());
    const uint8_t request[] = {static_cast<uint8_t>(settings_.slave), static_cast<uint8_t>(function),
                               static_cast<uint8_t>(address >> 8),   static_cast<uint8_t>(address),
                               static_cast<uint8_t>(count >> 8),     static_cast<uint8_t>(count)};
    uint8_t answer[MODBUS_MAX_ADU_LENGTH];
    int pdu = 0;
    int answered = 0;
    if (!transact(request, sizeof request, where, answer, pdu, answered)) return false;
    // libmodbus sized the frame by its own byte count; it must be this read's.
    if (answer[pdu + 1] != bytes || pdu + 2 + bytes > answered)
        return failed(Kind::Garbled, where,
                      "answer with " + std::to_string(answer[pdu + 1]) + " data bytes, not " + std::to_string(bytes) +
                          ": " + line_hint());
    std::memcpy(data, answer + pdu + 2, static_cast<std::size_t>(bytes));
    return true;
}

bool LibmodbusLink::single_write(int function, int address, uint16_t value, uint16_t& echoed)
{
    const uint8_t request[] = {static_cast<uint8_t>(settings_.slave), static_cast<uint8_t>(function),
                               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                               static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return write_answer(request, sizeof request, address, echoed);
}

bool LibmodbusLink::write_registers(int address, int count, const uint16_t* values, uint16_t& function_code,
                                    uint16_t& confirmed_count)
{
    if (count < 1 || count > contract::kMaxWriteRegisters)
        return note(Kind::NotSent, "write registers at " + std::to_string(address), "bad count " + std::to_string(count));
    uint8_t request[7 + 2 * contract::kMaxWriteRegisters];
    int n = 0;
    request[n++] = static_cast<uint8_t>(settings_.slave);
    request[n++] = contract::modbus::kWriteRegisters;
    request[n++] = static_cast<uint8_t>(address >> 8);
    request[n++] = static_cast<uint8_t>(address);
    request[n++] = static_cast<uint8_t>(count >> 8);
    request[n++] = static_cast<uint8_t>(count);
    request[n++] = static_cast<uint8_t>(2 * count);
    for (int i = 0; i < count; ++i) {
        request[n++] = static_cast<uint8_t>(values[i] >> 8);
        request[n++] = static_cast<uint8_t>(values[i]);
    }
    if (!write_answer(request, n, address, confirmed_count)) return false;
    function_code = contract::modbus::kWriteRegisters;
    return true;
}

// A write's answer is taken from the frame the unit sent: libmodbus does not
// compare a single write's echo with the request, and the host must see what
// the unit confirmed, not what was asked.
bool LibmodbusLink::write_answer(const uint8_t* request, int length, int address, uint16_t& echoed)
{
    const std::string where = "write at " + std::to_string(address);
    uint8_t answer[MODBUS_MAX_ADU_LENGTH];
    int pdu = 0;
    int answered = 0;
    if (!transact(request, length, where, answer, pdu, answered)) return false;
    if (answered < pdu + 5) return failed(Kind::Garbled, where, "answer cut short: " + line_hint());
    const int answered_address = (answer[pdu + 1] << 8) | answer[pdu + 2];
    if (answered_address != address)
        return failed(Kind::Garbled, where, "answer for address " + std::to_string(answered_address));
    echoed = static_cast<uint16_t>((answer[pdu + 3] << 8) | answer[pdu + 4]);
    return true;
}

// One unit's view of a shared line: its requests carry its slave id. The
// line closes with its last view; a view's close() leaves it open for the
// others.
class UnitOnLine : public ModbusLink {
public:
    UnitOnLine(std::shared_ptr<LibmodbusLink> line, int slave) : line_(std::move(line)), slave_(slave) {}

    bool read_bits(int address, int count, uint8_t* dest) override
    {
        return here().read_bits(address, count, dest);
    }
    bool read_registers(int address, int count, uint16_t* dest) override
    {
        return here().read_registers(address, count, dest);
    }
    bool write_bit(int address, bool on, uint16_t& echoed_state) override
    {
        return here().write_bit(address, on, echoed_state);
    }
    bool write_register(int address, uint16_t value, uint16_t& echoed_value) override
    {
        return here().write_register(address, value, echoed_value);
    }
    bool write_registers(int address, int count, const uint16_t* values, uint16_t& function_code,
                         uint16_t& confirmed_count) override
    {
        return here().write_registers(address, count, values, function_code, confirmed_count);
    }
    bool open() override { return line_->open(); }
    void close() override {}
    const LinkFailure& failure() const override { return line_->failure(); }
    const StrayInput* stray_input() const override { return line_->stray_input(); }

private:
    LibmodbusLink& here()
    {
        line_->set_slave(slave_);
        return *line_;
    }

    std::shared_ptr<LibmodbusLink> line_;
    int slave_;
};

}  // namespace

std::shared_ptr<ModbusLink> make_libmodbus_link(const LinkSettings& settings)
{
    return std::make_shared<LibmodbusLink>(settings);
}

std::vector<std::shared_ptr<ModbusLink>> make_shared_line_links(const LinkSettings& settings,
                                                                const std::vector<int>& slaves)
{
    const auto line = std::make_shared<LibmodbusLink>(settings);
    std::vector<std::shared_ptr<ModbusLink>> links;
    for (int slave : slaves) links.push_back(std::make_shared<UnitOnLine>(line, slave));
    return links;
}

void set_link_stop_check(std::function<bool()> check)
{
    std::atomic_store(&g_stop_check, std::make_shared<const std::function<bool()>>(std::move(check)));
}

std::string lock_serial_device(int fd, const std::string& device)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
    const int code = errno;
    return code == EWOULDBLOCK ? device + " is in use by another program"
                               : std::string("cannot lock it: ") + std::strerror(code);
}
