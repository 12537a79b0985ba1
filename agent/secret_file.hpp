// The first line of a file that holds a secret (a password, a control
// token), read with a bound: a wrong path such as /dev/zero or a large file
// is refused after a few bytes, never read whole.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace agent {

// The first line without its line end (LF or CRLF); throws std::runtime_error when the
// file cannot be read or the line is longer than `longest` bytes. The
// message names the file, never its content.
inline std::string read_secret_line(const std::string& file, std::size_t longest)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    std::string line;
    char c = 0;
    while (in.get(c) && c != '\n') {
        if (line.size() == longest) throw std::runtime_error(file + ": its first line is longer than " +
                                                             std::to_string(longest) + " bytes");
        line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace agent

namespace agent {

// A whole file that holds a secret (a TLS key), read with the same bound
// rule: refused past `longest` bytes, the message naming the file only.
inline std::string read_secret_file(const std::string& file, std::size_t longest)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    std::string text(longest + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (static_cast<std::size_t>(in.gcount()) > longest)
        throw std::runtime_error(file + " is larger than " + std::to_string(longest) + " bytes");
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

}  // namespace agent
