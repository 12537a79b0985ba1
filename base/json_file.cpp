#include "base/json_file.hpp"

#include "base/usage_error.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

namespace {

// jsoncpp's own limit on nesting, set here so the message can name it.
constexpr int kMaxNesting = 1000;

class OpenFile {
public:
    explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {}
    ~OpenFile()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

// The file's bytes; its kind and size are looked at on the open file, so
// a FIFO, a device or a folder is refused without a byte read.
std::string json_file_text(const std::string& name, const std::string& path)
{
    const OpenFile file(path);
    struct stat status {};
    if (file.fd() < 0 || ::fstat(file.fd(), &status) != 0)
        throw ConfigError("cannot read " + name + ": " + std::strerror(errno));
    if (!S_ISREG(status.st_mode)) throw ConfigError(name + " is not a regular file");
    const std::string too_large = name + " is larger than " + std::to_string(kMaxJsonFileBytes) + " bytes";
    if (status.st_size > kMaxJsonFileBytes) throw ConfigError(too_large);
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ConfigError("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) return text;
        text.append(chunk, static_cast<std::size_t>(n));
        // It grew since it was looked at.
        if (text.size() > static_cast<std::size_t>(kMaxJsonFileBytes)) throw ConfigError(too_large);
    }
}

namespace {

// jsoncpp's message spans lines; the programs report errors in one.
std::string one_line(const std::string& errors)
{
    std::string line;
    std::istringstream parts(errors);
    for (std::string part; std::getline(parts, part);) {
        const auto start = part.find_first_not_of(" *");
        if (start == std::string::npos) continue;
        if (!line.empty()) line += ": ";
        line += part.substr(start);
    }
    return line;
}

std::unique_ptr<Json::CharReader> strict_reader()
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = kMaxNesting;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

Json::Value read_json_file(const std::string& what, const std::string& path)
{
    const std::string name = what + " " + path;
    return parse_json_object(name, json_file_text(name, path));
}

Json::Value parse_json_object(const std::string& name, const std::string& text)
{
    Json::Value value;
    std::string errors;
    try {
        if (!strict_reader()->parse(text.data(), text.data() + text.size(), &value, &errors))
            throw ConfigError(name + " is not JSON: " + one_line(errors));
    } catch (const Json::Exception&) {
        throw ConfigError(name + " is not JSON: nested deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    if (!value.isObject()) throw ConfigError(name + " is not a JSON object");
    return value;
}
