#include "tools/sim/unit_server.hpp"

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
#include <new>
#include <stdexcept>

namespace {

constexpr int kAddresses = 65536;      // every coil and register address answers
constexpr uint32_t kPollUsec = 50000;  // longest wait before looking at the stop flag

uint16_t modbus_crc16(const uint8_t* bytes, std::size_t length)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

struct Cell {
    int address;
    uint16_t value;
};

// A unit switched on and cooling on return air: supply fan and compressor 1
// running, compressor 2 and the heaters idle, no alarm. Temperatures and
// pressures in tenths.
constexpr Cell kRunningCoils[] = {
    {256, 1},  // supply fan
    {257, 1},  // compressor 1
    {276, 1},  // unit on
};

constexpr Cell kRunningRegisters[] = {
    {0, 180},    // supply air setpoint
    {1, 500},    // humidity setpoint
    {11, 240},   // return air setpoint
    {13, 1},     // controlled on return air
    {256, 1},    // supply fan running
    {274, 1},    // compressor 1 under normal control
    {275, 1},    // current state: cooling
    {276, 1},    // unit state: running
    {400, 1450}, {401, 1450}, {402, 1450}, {403, 1450},  // supply fan speeds, rpm
    {604, 80},   // supply fan speed command
    {607, 450},  // compressor 1 speed demand
    {608, 60},   // cooling demand
    {615, 60}, {616, 450}, {617, 240},  // compressor 1 superheat, valve demand, valve steps
    {628, 1},    // controlling on return air
    {700, 80}, {701, 230}, {702, 300}, {703, 650}, {704, 300}, {705, 300},  // suction, outdoor, discharge
    {707, 90}, {708, 90},    // low pressures
    {709, 150},              // air pressure difference
    {710, 260}, {711, 120},  // high pressures
    {713, 380},              // supply voltage
    {715, 113},  // dew point
    {720, 12000}, {721, 300}, {722, 50}, {723, 9000}, {724, 100},  // running hours
    {725, 8500}, {726, 4000}, {727, 4200}, {728, 40},
    {730, 60},   // outdoor fan 1 output
    {732, 180},  // supply air for control
    {750, 450},  // compressor 1 speed
    {754, 540}, {755, 380}, {756, 8}, {757, 4200}, {758, 9},  // compressor 1 drive
    {760, 450}, {763, 420},  // compressor 1 drive temperatures
    {1500, 180}, {1501, 550}, {1502, 240}, {1503, 450},  // supply and return air, temperature and humidity
    {1516, 2300}, {1517, 2300}, {1518, 2300},  // phase voltages
    {1519, 85}, {1520, 82}, {1521, 84},        // phase currents
    {1522, 56}, {1523, 1234},                  // energy: 1234 x 100 + 56
    {2004, 540}, {2005, 380},  // compressor 2 drive, idle
    {2010, 300}, {2013, 300},  // compressor 2 drive temperatures
};

// Modbus PDU: function code, then the first address and the count of a read.
bool read_covers(const uint8_t* pdu, int address)
{
    const int function = pdu[0];
    if (address < 0 || (function != MODBUS_FC_READ_COILS && function != MODBUS_FC_READ_HOLDING_REGISTERS &&
                        function != MODBUS_FC_WRITE_AND_READ_REGISTERS))
        return false;
    const int first = (pdu[1] << 8) | pdu[2];
    const int count = (pdu[3] << 8) | pdu[4];
    return address >= first && address < first + count;
}

int checked(int address)
{
    if (address < 0 || address >= kAddresses) throw std::out_of_range("no address " + std::to_string(address));
    return address;
}

int parse_address(const std::string& key)
{
    if (key.empty() || key.size() > 5 || key.find_first_not_of("0123456789") != std::string::npos) return -1;
    const int address = std::stoi(key);
    return address < kAddresses ? address : -1;
}

std::vector<Cell> state_cells(const Json::Value& table, const char* name, int highest)
{
    std::vector<Cell> cells;
    if (table.isNull()) return cells;
    if (!table.isObject()) throw std::invalid_argument(std::string("\"") + name + "\" must be an object");
    for (const std::string& key : table.getMemberNames()) {
        const std::string where = std::string(name) + " \"" + key + "\"";
        const int address = parse_address(key);
        if (address < 0) throw std::invalid_argument(where + ": not a decimal address from 0 to 65535");
        const Json::Value& v = table[key];
        int value = -1;
        if (v.isBool() && highest == 1) value = v.asBool();
        else if (v.isInt() && v.asInt() >= 0 && v.asInt() <= highest) value = v.asInt();
        if (value < 0)
            throw std::invalid_argument(where + ": value must be an integer from 0 to " + std::to_string(highest));
        cells.push_back({address, static_cast<uint16_t>(value)});
    }
    return cells;
}

}  // namespace

UnitServer::UnitServer() : mapping_(modbus_mapping_new(kAddresses, 0, kAddresses, 0))
{
    if (!mapping_) throw std::bad_alloc();
    for (const Cell& c : kRunningCoils) mapping_->tab_bits[c.address] = static_cast<uint8_t>(c.value);
    for (const Cell& c : kRunningRegisters) mapping_->tab_registers[c.address] = c.value;
}

UnitServer::~UnitServer()
{
    for (int fd : clients_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
    // Over TCP the context only borrows the client sockets, closed above.
    if (ctx_ && listener_ < 0) modbus_close(ctx_);
    if (ctx_) modbus_free(ctx_);
    for (auto& unit : other_units_) modbus_mapping_free(unit.second);
    modbus_mapping_free(mapping_);
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
    modbus_set_indication_timeout(ctx_, 0, kPollUsec);
    modbus_set_byte_timeout(ctx_, 0, kPollUsec);
    slave_ = line.slave;
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
        const bool one_unit = other_units_.empty() && silent_.empty();
        const int length = one_unit ? modbus_receive(ctx_, query) : receive_request(query);
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
    const uint16_t crc = modbus_crc16(query, static_cast<std::size_t>(length - 2));
    if (query[length - 2] != (crc & 0xFF) || query[length - 1] != (crc >> 8)) {
        errno = EMBBADCRC;
        return -1;
    }
    return length;
}

modbus_mapping_t* UnitServer::mapping_of(int slave)
{
    const auto unit = other_units_.find(slave);
    return unit == other_units_.end() ? mapping_ : unit->second;
}

bool UnitServer::answer(const uint8_t* query, int length)
{
    const long n = ++requests_;
    UnitFaults faults;
    bool chosen = false;
    std::vector<uint8_t> frame;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults = faults_;
        const int slave = query[modbus_get_header_length(ctx_) - 1];
        if (silent_.count(slave)) return true;
        // A unit on the line that is not simulated: not ours to answer.
        if (slave_ >= 0 && slave != 0 && slave != slave_ && !other_units_.count(slave)) return true;
        if (faults.silent_after >= 0 && n > faults.silent_after) return true;
        if (faults.drop_every > 0 && n % faults.drop_every == 0) return true;
        chosen = chosen_for_line_faults(query + modbus_get_header_length(ctx_));
        frame = render(query, length);
    }
    if (frame.empty()) return false;
    if (!chosen) return send_frame(frame, 0);
    if (faults.late_ms > 0) {
        if (!pause(faults.late_ms)) return true;
        if (faults.ignore_while_late) modbus_flush(ctx_);
    }
    spoil(frame, faults);
    return send_frame(frame, faults.trickle_ms);
}

bool UnitServer::chosen_for_line_faults(const uint8_t* pdu)
{
    const UnitFaults& f = faults_;
    if (f.late_ms == 0 && !f.bad_crc && !f.other_slave && !f.truncated && f.trickle_ms == 0) return false;
    if (f.address >= 0 && !read_covers(pdu, f.address)) return false;
    ++chosen_requests_;
    return f.every == 0 || chosen_requests_ % f.every == 0;
}

// libmodbus writes its reply straight to the line; it is caught on a socket
// pair instead, to be sent late, spoilt or slowly.
std::vector<uint8_t> UnitServer::render(const uint8_t* query, int length)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return {};
    const int line = modbus_get_socket(ctx_);
    modbus_set_socket(ctx_, pair[0]);
    const int pdu = modbus_get_header_length(ctx_);
    modbus_mapping_t* mapping = mapping_of(query[pdu - 1]);
    int sent = -1;
    if (read_covers(query + pdu, faults_.exception_address)) {
        sent = modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    } else if (faults_.wrong_echo && query[pdu] == MODBUS_FC_WRITE_SINGLE_REGISTER && length >= pdu + 5) {
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

void UnitServer::spoil(std::vector<uint8_t>& frame, const UnitFaults& faults) const
{
    const bool rtu = listener_ < 0;
    if (faults.other_slave && rtu && frame.size() > 2) {
        frame[0] = static_cast<uint8_t>(frame[0] + 1);
        const uint16_t crc = modbus_crc16(frame.data(), frame.size() - 2);
        frame[frame.size() - 2] = static_cast<uint8_t>(crc);
        frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
    }
    if (faults.bad_crc && rtu && !frame.empty()) frame.back() ^= 0xFF;
    if (faults.truncated) frame.resize(frame.size() > 3 ? frame.size() - 3 : 1);
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

void UnitServer::set_coil(int address, bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mapping_->tab_bits[checked(address)] = on;
}

void UnitServer::set_register(int address, uint16_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mapping_->tab_registers[checked(address)] = value;
}

bool UnitServer::coil(int address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mapping_->tab_bits[checked(address)] != 0;
}

uint16_t UnitServer::reg(int address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mapping_->tab_registers[checked(address)];
}

void UnitServer::set_faults(const UnitFaults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

void UnitServer::add_slave(int slave)
{
    if (!is_unit_slave_id(slave) || slave == slave_ || other_units_.count(slave))
        throw std::invalid_argument("slave id " + std::to_string(slave) + " is taken or out of range");
    modbus_mapping_t* unit = modbus_mapping_new(kAddresses, 0, kAddresses, 0);
    if (!unit) throw std::bad_alloc();
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(unit->tab_bits, mapping_->tab_bits, kAddresses);
    std::memcpy(unit->tab_registers, mapping_->tab_registers, kAddresses * sizeof(uint16_t));
    other_units_[slave] = unit;
}

void UnitServer::set_silent(int slave)
{
    std::lock_guard<std::mutex> lock(mutex_);
    silent_.insert(slave);
}

void UnitServer::apply_state(const Json::Value& state) { apply_state(state, slave_); }

void UnitServer::apply_state(const Json::Value& state, int slave)
{
    if (slave != slave_ && !other_units_.count(slave))
        throw std::invalid_argument("no unit with slave id " + std::to_string(slave));
    if (!state.isObject()) throw std::invalid_argument("the state must be a JSON object");
    for (const std::string& key : state.getMemberNames())
        if (key != "coils" && key != "regs") throw std::invalid_argument("unknown member \"" + key + "\"");
    const std::vector<Cell> coils = state_cells(state["coils"], "coils", 1);
    const std::vector<Cell> regs = state_cells(state["regs"], "regs", 0xFFFF);

    std::lock_guard<std::mutex> lock(mutex_);
    modbus_mapping_t* unit = mapping_of(slave);
    for (const Cell& c : coils) unit->tab_bits[c.address] = static_cast<uint8_t>(c.value);
    for (const Cell& c : regs) unit->tab_registers[c.address] = c.value;
}
