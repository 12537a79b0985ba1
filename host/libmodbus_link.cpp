#include "host/libmodbus_link.hpp"

#include <modbus/modbus.h>

#include <cerrno>
#include <stdexcept>

namespace {

constexpr int kFunctionWriteCoil = 0x05;
constexpr int kFunctionWriteRegister = 0x06;
constexpr int kFunctionWriteRegisters = 0x10;
constexpr uint16_t kCoilOn = 0xFF00;

int member_int(const Json::Value& link, const char* key, int fallback)
{
    const Json::Value& v = link[key];
    if (v.isNull()) return fallback;
    if (!v.isInt()) throw std::invalid_argument(std::string("link setting \"") + key + "\" must be an integer");
    return v.asInt();
}

std::string member_text(const Json::Value& link, const char* key, const std::string& fallback)
{
    const Json::Value& v = link[key];
    if (v.isNull()) return fallback;
    if (!v.isString()) throw std::invalid_argument(std::string("link setting \"") + key + "\" must be a string");
    return v.asString();
}

class LibmodbusLink : public ModbusLink {
public:
    explicit LibmodbusLink(const LinkSettings& settings) : settings_(settings) {}
    ~LibmodbusLink() override
    {
        if (ctx_) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }

    bool open() override;
    void close() override;
    const std::string& error() const override { return error_; }

    bool read_bits(int address, int count, uint8_t* dest) override
    {
        if (!ready()) return false;
        if (::modbus_read_bits(ctx_, address, count, dest) != count) return fail("read bits", address);
        return true;
    }

    bool read_registers(int address, int count, uint16_t* dest) override
    {
        if (!ready()) return false;
        if (::modbus_read_registers(ctx_, address, count, dest) != count)
            return fail("read registers", address);
        return true;
    }

    bool write_bit(int address, bool on, uint16_t& echoed_state) override
    {
        uint16_t echo = 0;
        if (!single_write(kFunctionWriteCoil, address, on ? kCoilOn : 0, echo)) return false;
        echoed_state = echo == kCoilOn ? 1 : echo;
        return true;
    }

    bool write_register(int address, uint16_t value, uint16_t& echoed_value) override
    {
        return single_write(kFunctionWriteRegister, address, value, echoed_value);
    }

    bool write_registers(int address, int count, const uint16_t* values, uint16_t& function_code,
                         uint16_t& confirmed_count) override
    {
        uint8_t request[7 + 2 * 123];
        const int length = multiple_write_request(address, count, values, request);
        if (length < 0) {
            error_ = "write registers at " + std::to_string(address) + ": bad count " + std::to_string(count);
            return false;
        }
        if (!exchange(request, length, kFunctionWriteRegisters, address, confirmed_count)) return false;
        function_code = kFunctionWriteRegisters;
        return true;
    }

private:
    bool ready();
    bool fail(const char* what, int address);
    bool single_write(int function, int address, uint16_t value, uint16_t& echoed);
    int multiple_write_request(int address, int count, const uint16_t* values, uint8_t* request) const;
    bool exchange(const uint8_t* request, int length, int function, int address, uint16_t& echoed);

    LinkSettings settings_;
    modbus_t* ctx_ = nullptr;
    bool connected_ = false;
    bool stale_input_possible_ = true;
    std::string error_;
};

bool LibmodbusLink::open()
{
    if (connected_) return true;
    if (!ctx_) {
        ctx_ = settings_.kind == LinkSettings::Kind::Tcp
                   ? modbus_new_tcp_pi(settings_.host.c_str(), std::to_string(settings_.port).c_str())
                   : modbus_new_rtu(settings_.device.c_str(), settings_.baud, settings_.parity,
                                    settings_.data_bits, settings_.stop_bits);
        if (!ctx_) {
            error_ = settings_.describe() + ": " + modbus_strerror(errno);
            return false;
        }
        modbus_set_slave(ctx_, settings_.slave);
        modbus_set_response_timeout(ctx_, static_cast<uint32_t>(settings_.timeout_ms / 1000),
                                    static_cast<uint32_t>(settings_.timeout_ms % 1000) * 1000);
        // Resynchronise after a bad frame; reconnection is done here, at the next request.
        modbus_set_error_recovery(ctx_, MODBUS_ERROR_RECOVERY_PROTOCOL);
    }
    if (modbus_connect(ctx_) == -1) {
        error_ = "cannot open " + settings_.describe() + ": " + modbus_strerror(errno);
        return false;
    }
    connected_ = true;
    stale_input_possible_ = true;
    return true;
}

void LibmodbusLink::close()
{
    if (ctx_ && connected_) modbus_close(ctx_);
    connected_ = false;
}

bool LibmodbusLink::ready()
{
    if (!open()) return false;
    // A late answer to an earlier, failed request must not be taken for the
    // answer to this one. Only a request that went unanswered can leave one.
    if (stale_input_possible_) {
        modbus_flush(ctx_);
        stale_input_possible_ = false;
    }
    return true;
}

bool LibmodbusLink::fail(const char* what, int address)
{
    const int code = errno;
    stale_input_possible_ = true;
    error_ = std::string(what) + " at " + std::to_string(address) + ": " + modbus_strerror(code);
    // Anything below libmodbus's own codes is the line itself (reset,
    // refused, timed out, device gone): reopen it at the next request.
    if (code < MODBUS_ENOBASE) close();
    return false;
}

bool LibmodbusLink::single_write(int function, int address, uint16_t value, uint16_t& echoed)
{
    const uint8_t request[] = {static_cast<uint8_t>(settings_.slave), static_cast<uint8_t>(function),
                               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                               static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return exchange(request, sizeof request, function, address, echoed);
}

int LibmodbusLink::multiple_write_request(int address, int count, const uint16_t* values,
                                          uint8_t* request) const
{
    if (count < 1 || count > 123) return -1;
    int n = 0;
    request[n++] = static_cast<uint8_t>(settings_.slave);
    request[n++] = kFunctionWriteRegisters;
    request[n++] = static_cast<uint8_t>(address >> 8);
    request[n++] = static_cast<uint8_t>(address);
    request[n++] = static_cast<uint8_t>(count >> 8);
    request[n++] = static_cast<uint8_t>(count);
    request[n++] = static_cast<uint8_t>(2 * count);
    for (int i = 0; i < count; ++i) {
        request[n++] = static_cast<uint8_t>(values[i] >> 8);
        request[n++] = static_cast<uint8_t>(values[i]);
    }
    return n;
}

// Sends a write as a raw frame and takes the answer from the frame the unit
// sent: libmodbus does not compare a single write's echo with the request,
// and the host must see what the unit confirmed, not what was asked.
bool LibmodbusLink::exchange(const uint8_t* request, int length, int function, int address,
                             uint16_t& echoed)
{
    if (!ready()) return false;
    if (modbus_send_raw_request(ctx_, request, length) == -1) return fail("write", address);
    uint8_t answer[MODBUS_MAX_ADU_LENGTH];
    const int answered = modbus_receive_confirmation(ctx_, answer);
    if (answered == -1) return fail("write", address);

    // Until the answer is known to be the right one, assume it may not be.
    stale_input_possible_ = true;
    const std::string where = "write at " + std::to_string(address) + ": ";
    const int header = modbus_get_header_length(ctx_);
    if (answered < header + 2) {
        error_ = where + "short answer";
        return false;
    }
    const uint8_t answered_function = answer[header];
    if (answered_function == (function | 0x80)) {
        error_ = where + modbus_strerror(MODBUS_ENOBASE + answer[header + 1]);
        return false;
    }
    if (answered_function != function || answered < header + 5) {
        error_ = where + "unexpected answer";
        modbus_flush(ctx_);
        return false;
    }
    const int answered_address = (answer[header + 1] << 8) | answer[header + 2];
    if (answered_address != address) {
        error_ = where + "answer for address " + std::to_string(answered_address);
        return false;
    }
    echoed = static_cast<uint16_t>((answer[header + 3] << 8) | answer[header + 4]);
    stale_input_possible_ = false;
    return true;
}

}  // namespace

std::string LinkSettings::describe() const
{
    if (kind == Kind::Tcp) return "tcp " + host + ":" + std::to_string(port);
    return "rtu " + device + " " + std::to_string(baud) + " " + std::to_string(data_bits) + parity +
           std::to_string(stop_bits);
}

LinkSettings parse_link_settings(const Json::Value& link)
{
    if (!link.isObject()) throw std::invalid_argument("link settings must be a JSON object");
    LinkSettings s;
    const std::string type = member_text(link, "type", "tcp");
    if (type == "tcp") {
        s.kind = LinkSettings::Kind::Tcp;
        s.host = member_text(link, "host", s.host);
        s.port = member_int(link, "port", s.port);
        if (s.port < 1 || s.port > 65535) throw std::invalid_argument("link setting \"port\" out of range");
    } else if (type == "rtu") {
        s.kind = LinkSettings::Kind::Rtu;
        s.device = member_text(link, "device", "");
        if (s.device.empty()) throw std::invalid_argument("link setting \"device\" is required for rtu");
        s.baud = member_int(link, "baud", s.baud);
        const std::string parity = member_text(link, "parity", "N");
        if (parity != "N" && parity != "E" && parity != "O")
            throw std::invalid_argument("link setting \"parity\" must be N, E or O");
        s.parity = parity[0];
        s.data_bits = member_int(link, "data_bits", s.data_bits);
        s.stop_bits = member_int(link, "stop_bits", s.stop_bits);
        if (s.data_bits < 5 || s.data_bits > 8) throw std::invalid_argument("link setting \"data_bits\" must be 5 to 8");
        if (s.stop_bits != 1 && s.stop_bits != 2) throw std::invalid_argument("link setting \"stop_bits\" must be 1 or 2");
    } else {
        throw std::invalid_argument("link setting \"type\" must be \"tcp\" or \"rtu\"");
    }
    s.slave = member_int(link, "slave", s.slave);
    if (s.slave < 0 || s.slave > 247) throw std::invalid_argument("link setting \"slave\" must be 0 to 247");
    s.timeout_ms = member_int(link, "timeout_ms", s.timeout_ms);
    if (s.timeout_ms < 1) throw std::invalid_argument("link setting \"timeout_ms\" must be positive");
    return s;
}

Json::Value link_settings_json(const LinkSettings& s)
{
    Json::Value link(Json::objectValue);
    if (s.kind == LinkSettings::Kind::Tcp) {
        link["type"] = "tcp";
        link["host"] = s.host;
        link["port"] = s.port;
    } else {
        link["type"] = "rtu";
        link["device"] = s.device;
        link["baud"] = s.baud;
        link["parity"] = std::string(1, s.parity);
        link["data_bits"] = s.data_bits;
        link["stop_bits"] = s.stop_bits;
    }
    link["slave"] = s.slave;
    link["timeout_ms"] = s.timeout_ms;
    return link;
}

std::shared_ptr<ModbusLink> make_libmodbus_link(const LinkSettings& settings)
{
    return std::make_shared<LibmodbusLink>(settings);
}
