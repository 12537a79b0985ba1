#include "agent/start_checks.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace agent {
namespace {

std::string folder_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string group_of(const struct stat& st)
{
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return "gid " + std::to_string(st.st_gid);
}

// Closes the descriptor however the check ends.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string agent_user()
{
    if (const passwd* p = ::getpwuid(::geteuid())) return p->pw_name;
    return "uid " + std::to_string(::geteuid());
}

const std::string& usable_store_folder(const std::string& store_path)
{
    const std::string folder = folder_of(store_path);
    const std::string fix = ": it must exist and be writable by the agent's user (" + agent_user() + ")";
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0)
        throw StartRefused("the store's folder " + folder + " cannot be used (" + std::strerror(errno) + ")" + fix);
    if (!S_ISDIR(st.st_mode)) throw StartRefused("the store's folder " + folder + " is not a folder" + fix);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        throw StartRefused("the store's folder " + folder + " is not writable (" + std::strerror(errno) + ")" + fix);
    return store_path;
}

std::string serial_device_problem(const std::string& device)
{
    const Descriptor opened{::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (opened.fd >= 0) return {};
    const int error = errno;
    struct stat st{};
    if ((error == EACCES || error == EPERM) && ::stat(device.c_str(), &st) == 0) {
        const std::string group = group_of(st);
        throw StartRefused("cannot open " + device + ": " + std::strerror(error) + ": the agent's user (" +
                           agent_user() + ") must be in the device's group (" + group + "): usermod -aG " + group +
                           " " + agent_user() + ", then start the agent again");
    }
    return "cannot open " + device + ": " + std::strerror(error);
}

std::string tcp_problem(const std::string& host, int port, int timeout_ms)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) return "cannot find " + host + ": " + ::gai_strerror(rc);
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    const std::string where = host + ":" + std::to_string(port);
    const Descriptor s{::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return "cannot reach " + where + ": " + std::strerror(errno);
    if (::connect(s.fd, found->ai_addr, found->ai_addrlen) == 0) return {};
    if (errno != EINPROGRESS) return "cannot reach " + where + ": " + std::strerror(errno);
    pollfd waiting{s.fd, POLLOUT, 0};
    if (::poll(&waiting, 1, timeout_ms) <= 0)
        return "cannot reach " + where + ": no answer in " + std::to_string(timeout_ms) + " ms";
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0 ? std::string() : "cannot reach " + where + ": " + std::strerror(error);
}

void check_http_port_free(const std::string& address, int port)
{
    const bool ipv6 = !address.empty() && address.front() == '[';
    sockaddr_storage where{};
    socklen_t length = 0;
    if (ipv6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(where);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, address.substr(1, address.size() - 2).c_str(), &v6.sin6_addr) != 1) return;
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(where);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) != 1) return;
        length = sizeof v4;
    }
    const Descriptor s{::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return;
    const int on = 1;
    // As the server binds: a port left in TIME_WAIT is free to it.
    ::setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s.fd, reinterpret_cast<const sockaddr*>(&where), length) == 0 || errno != EADDRINUSE) return;
    throw StartRefused("cannot serve HTTP on " + address + ":" + std::to_string(port) +
                       ": the address is in use (another agent or program listens there): stop it, or give "
                       "http.listen another port");
}

}  // namespace agent
