#include "agent/store_lock.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace agent {
namespace {

// The holder's process id as it wrote it, or "" when the file holds none.
std::string holder_of(int fd)
{
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return {};
    std::string pid(text, static_cast<std::size_t>(n));
    pid.erase(pid.find_last_not_of("\n") + 1);
    return pid.find_first_not_of("0123456789") == std::string::npos ? pid : std::string();
}

void write_holder(int fd)
{
    const std::string pid = std::to_string(::getpid()) + "\n";
    // Only for the next agent's message: a failure here changes nothing.
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
}

}  // namespace

StoreLock::StoreLock(const std::string& store_path)
{
    const std::string file = lock_path(store_path);
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open the store's lock " + file + ": " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const std::string holder = holder_of(fd_);
        ::close(fd_);
        fd_ = -1;
        if (error != EWOULDBLOCK)
            throw std::runtime_error("cannot lock the store's lock " + file + ": " + std::strerror(error));
        throw StoreInUse("store " + store_path + " is in use by another agent (" +
                         (holder.empty() ? std::string("process unknown") : "process " + holder) +
                         "): one store takes one agent");
    }
    write_holder(fd_);
}

StoreLock::~StoreLock()
{
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace agent
