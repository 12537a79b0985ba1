#include "tools/qmhost/agent_client.hpp"

#include "agent/http_settings.hpp"
#include "base/usage_error.hpp"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

// An answer larger than this is not the agent's: /api/status for 64 units
// is about 100 KB.
constexpr std::size_t kMaxAnswerBytes = 64u << 20;

using Clock = std::chrono::steady_clock;

struct Socket {
    int fd = -1;
    ~Socket()
    {
        if (fd >= 0) ::close(fd);
    }
};

std::string where_of(const AgentUrl& url)
{
    const bool ipv6 = url.host.find(':') != std::string::npos;
    return std::string(url.tls ? "https://" : "http://") + (ipv6 ? "[" + url.host + "]" : url.host) + ":" +
           std::to_string(url.port);
}

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The first of the host's addresses that accepts within the time left.
void connect_to(const AgentUrl& url, Socket& socket, Clock::time_point deadline)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int looked = ::getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &found);
    if (looked != 0) throw std::runtime_error(gai_strerror(looked));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    int error = ECONNREFUSED;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        Socket attempt;
        attempt.fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (attempt.fd < 0) continue;
        if (::connect(attempt.fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = errno;
            continue;
        }
        pollfd p{attempt.fd, POLLOUT, 0};
        socklen_t size = sizeof error;
        if (::poll(&p, 1, remaining_ms(deadline)) != 1) {
            error = ETIMEDOUT;
            continue;
        }
        ::getsockopt(attempt.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) continue;
        std::swap(socket.fd, attempt.fd);
        // Blocking from here, each send and receive bounded by the time left.
        ::fcntl(socket.fd, F_SETFL, ::fcntl(socket.fd, F_GETFL) & ~O_NONBLOCK);
        return;
    }
    throw std::runtime_error(std::strerror(error));
}

void bound_socket_waits(int fd, Clock::time_point deadline)
{
    const int ms = std::max(1, remaining_ms(deadline));
    timeval t{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

// Plain or TLS, the same two operations.
class Channel {
public:
    virtual ~Channel() = default;
    virtual void send_all(const std::string& bytes) = 0;
    virtual long receive(char* into, std::size_t size) = 0;  // 0 at the end
};

class PlainChannel : public Channel {
public:
    explicit PlainChannel(int fd) : fd_(fd) {}
    void send_all(const std::string& bytes) override
    {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error(n < 0 ? std::strerror(errno) : "the connection closed");
            sent += static_cast<std::size_t>(n);
        }
    }
    long receive(char* into, std::size_t size) override
    {
        const ssize_t n = ::recv(fd_, into, size, 0);
        if (n < 0) throw std::runtime_error(errno == EAGAIN ? "timed out" : std::strerror(errno));
        return n;
    }

private:
    int fd_;
};

class TlsChannel : public Channel {
public:
    TlsChannel(int fd, const AgentUrl& url, Clock::time_point deadline)
    {
        check(gnutls_certificate_allocate_credentials(&credentials_));
        if (url.cafile.empty())
            check(gnutls_certificate_set_x509_system_trust(credentials_));
        else if (gnutls_certificate_set_x509_trust_file(credentials_, url.cafile.c_str(), GNUTLS_X509_FMT_PEM) <= 0)
            throw std::runtime_error("--cafile " + url.cafile + " holds no CA certificate in PEM");
        check(gnutls_init(&session_, GNUTLS_CLIENT));
        check(gnutls_set_default_priority(session_));
        check(gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_));
        in6_addr any{};
        const bool address = ::inet_pton(AF_INET, url.host.c_str(), &any) == 1 ||
                             ::inet_pton(AF_INET6, url.host.c_str(), &any) == 1;
        if (!address) gnutls_server_name_set(session_, GNUTLS_NAME_DNS, url.host.data(), url.host.size());
        // The certificate must chain to the CA and name the host (or its address).
        gnutls_session_set_verify_cert(session_, url.host.c_str(), 0);
        gnutls_transport_set_int(session_, fd);
        gnutls_handshake_set_timeout(session_, static_cast<unsigned>(std::max(1, remaining_ms(deadline))));
        int done;
        do done = gnutls_handshake(session_);
        while (done < 0 && gnutls_error_is_fatal(done) == 0);
        if (done < 0) throw std::runtime_error("TLS: " + handshake_failure(done));
    }
    ~TlsChannel() override
    {
        if (session_) gnutls_deinit(session_);
        if (credentials_) gnutls_certificate_free_credentials(credentials_);
    }
    void send_all(const std::string& bytes) override
    {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = gnutls_record_send(session_, bytes.data() + sent, bytes.size() - sent);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
            if (n < 0) throw std::runtime_error(std::string("TLS: ") + gnutls_strerror(static_cast<int>(n)));
            sent += static_cast<std::size_t>(n);
        }
    }
    long receive(char* into, std::size_t size) override
    {
        for (;;) {
            const ssize_t n = gnutls_record_recv(session_, into, size);
            if (n == GNUTLS_E_INTERRUPTED) continue;
            // The agent closes after its answer; some close without a TLS goodbye.
            if (n == GNUTLS_E_PREMATURE_TERMINATION) return 0;
            if (n == GNUTLS_E_AGAIN) throw std::runtime_error("timed out");
            if (n < 0) throw std::runtime_error(std::string("TLS: ") + gnutls_strerror(static_cast<int>(n)));
            return n;
        }
    }

private:
    static void check(int status)
    {
        if (status < 0) throw std::runtime_error(std::string("TLS: ") + gnutls_strerror(status));
    }

    std::string handshake_failure(int status)
    {
        if (status != GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) return gnutls_strerror(status);
        gnutls_datum_t why{};
        const unsigned verdict = gnutls_session_get_verify_cert_status(session_);
        std::string text = "the agent's certificate is not trusted";
        if (gnutls_certificate_verification_status_print(verdict, GNUTLS_CRT_X509, &why, 0) == 0) {
            text += std::string(": ") + reinterpret_cast<const char*>(why.data);
            gnutls_free(why.data);
        }
        return text + " (check --cafile)";
    }

    gnutls_certificate_credentials_t credentials_ = nullptr;
    gnutls_session_t session_ = nullptr;
};

// "HTTP/1.1 200 OK\r\n...\r\n\r\nBODY": the status and the body.
AgentAnswer parse_answer(const std::string& bytes)
{
    const auto end = bytes.find("\r\n\r\n");
    AgentAnswer answer;
    if (bytes.compare(0, 5, "HTTP/") != 0 || end == std::string::npos || bytes.size() < 12 ||
        bytes.find(' ') == std::string::npos)
        throw std::runtime_error("the answer is not HTTP");
    const std::string code = bytes.substr(bytes.find(' ') + 1, 3);
    if (code.find_first_not_of("0123456789") != std::string::npos) throw std::runtime_error("the answer is not HTTP");
    answer.status = std::stoi(code);
    answer.body = bytes.substr(end + 4);
    return answer;
}

}  // namespace

AgentUrl parse_agent_url(const std::string& text, const std::string& cafile)
{
    const auto bad = [&] {
        return UsageError("--agent needs http://HOST:PORT or https://HOST:PORT, the address the agent serves HTTP on, "
                          "not \"" + text + "\"");
    };
    AgentUrl url;
    std::string rest;
    if (text.compare(0, 7, "http://") == 0) {
        rest = text.substr(7);
    } else if (text.compare(0, 8, "https://") == 0) {
        rest = text.substr(8);
        url.tls = true;
        url.port = 443;
    } else {
        throw bad();
    }
    if (!cafile.empty() && !url.tls) throw UsageError("--cafile goes with an https:// agent");
    url.cafile = cafile;
    const auto slash = rest.find('/');
    std::string where = rest.substr(0, slash);
    if (slash != std::string::npos) url.base = rest.substr(slash);
    while (!url.base.empty() && url.base.back() == '/') url.base.pop_back();
    std::string port;
    if (!where.empty() && where.front() == '[') {
        const auto close = where.find(']');
        if (close == std::string::npos) throw bad();
        url.host = where.substr(1, close - 1);
        const std::string after = where.substr(close + 1);
        if (!after.empty() && after.front() != ':') throw bad();
        if (!after.empty()) port = after.substr(1);
        if (after == ":") throw bad();
    } else {
        const auto colon = where.rfind(':');
        url.host = where.substr(0, colon);
        if (colon != std::string::npos) {
            port = where.substr(colon + 1);
            if (port.empty()) throw bad();
        }
    }
    if (url.host.empty()) throw bad();
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) throw bad();
        url.port = std::stoi(port);
        if (url.port < 1 || url.port > 65535) throw bad();
    }
    return url;
}

AgentAnswer agent_request(const AgentUrl& url, const std::string& method, const std::string& path,
                          const std::string& body, const std::string& token, int timeout_ms)
{
    const std::string where = where_of(url);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Socket socket;
    std::unique_ptr<Channel> channel;
    try {
        connect_to(url, socket, deadline);
        bound_socket_waits(socket.fd, deadline);
        if (url.tls)
            channel = std::make_unique<TlsChannel>(socket.fd, url, deadline);
        else
            channel = std::make_unique<PlainChannel>(socket.fd);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot reach the agent at " + where + ": " + e.what());
    }
    const std::string host = where.substr(where.find("//") + 2);
    const std::string authorization = token.empty() ? "" : "Authorization: Bearer " + token + "\r\n";
    std::string bytes;
    try {
        channel->send_all(method + " " + url.base + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" +
                          authorization + "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body);
        char chunk[16384];
        for (long n; (n = channel->receive(chunk, sizeof chunk)) > 0;) {
            bytes.append(chunk, static_cast<std::size_t>(n));
            if (bytes.size() > kMaxAnswerBytes) throw std::runtime_error("the answer is too large");
        }
        return parse_answer(bytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("no answer from the agent at " + where + ": " + e.what());
    }
}

std::string read_token_file(const std::string& path)
{
    try {
        return agent::read_control_token(path);
    } catch (const agent::SiteFileError& e) {
        throw UsageError(std::string("--token-file: ") + e.what());
    }
}
