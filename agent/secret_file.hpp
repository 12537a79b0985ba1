// Files that hold a secret (a password, a control token, a TLS key): a
// regular file that others can neither read nor write, checked on the opened
// file itself, so the file checked is the file read. The first line is read
// with a bound: a large file is refused after a few bytes, never read whole.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agent {

namespace secret_file_detail {

// Closes the file when it goes out of scope, thrown past or not.
struct OpenFile {
    int fd;
    ~OpenFile()
    {
        if (fd >= 0) ::close(fd);
    }
};

inline std::string kind_of(mode_t mode)
{
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

inline std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace secret_file_detail

// Opens `file` to read and refuses it unless it is a regular file that others
// may neither read nor write (group read is fine: root:qmhost 0640). A
// symbolic link is followed, as configuration management makes them, and its
// target is what is checked. The open never blocks (a FIFO with no writer is
// refused at once, not waited for). Throws std::runtime_error naming the
// file, its mode and the fix; the caller closes the descriptor.
inline int open_secret_file(const std::string& file)
{
    using namespace secret_file_detail;
    OpenFile opened{::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (opened.fd < 0) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    struct stat status {};
    if (::fstat(opened.fd, &status) != 0) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        throw std::runtime_error(file + " is " + kind_of(status.st_mode) + ": a secret must be a regular file");
    if ((status.st_mode & S_IRWXO) != 0)
        throw std::runtime_error(file + " has mode " + octal(status.st_mode) +
                                 ": others may read or write it (fix: chmod 0640 " + file + ")");
    const int fd = opened.fd;
    opened.fd = -1;
    return fd;
}

// The same checks for a secret a library reads by its path (a TLS key).
inline void check_secret_file(const std::string& file)
{
    secret_file_detail::OpenFile opened{open_secret_file(file)};
}

namespace secret_file_detail {

// Reads the opened secret up to its first line end (`one_line`) or its end,
// refusing more than `longest` bytes with `too_long`.
inline std::string read_bounded(const std::string& file, bool one_line, std::size_t longest, const std::string& too_long)
{
    OpenFile opened{open_secret_file(file)};
    std::string text;
    char chunk[1024];
    for (;;) {
        const ssize_t n = ::read(opened.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
        if (n == 0) break;
        const char* end = one_line ? static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(n)))
                                   : nullptr;
        text.append(chunk, end != nullptr ? static_cast<std::size_t>(end - chunk) : static_cast<std::size_t>(n));
        if (text.size() > longest) throw std::runtime_error(file + too_long + std::to_string(longest) + " bytes");
        if (end != nullptr) break;
    }
    return text;
}

}  // namespace secret_file_detail

// The first line without its line end (LF or CRLF); throws std::runtime_error when the
// file is refused (open_secret_file), cannot be read or the line is longer than
// `longest` bytes. The message names the file, never its content.
inline std::string read_secret_line(const std::string& file, std::size_t longest)
{
    std::string line = secret_file_detail::read_bounded(file, true, longest, ": its first line is longer than ");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// A whole secret file (a TLS key), refused as open_secret_file refuses one
// and past `longest` bytes; the message names the file, never its content.
inline std::string read_secret_file(const std::string& file, std::size_t longest)
{
    return secret_file_detail::read_bounded(file, false, longest, " is larger than ");
}

}  // namespace agent
