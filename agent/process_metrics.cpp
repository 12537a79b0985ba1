#include "agent/process_metrics.hpp"

#include "agent/decimal_text.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <vector>

namespace agent {
namespace {

// /proc/self/stat is one line of a few hundred bytes; /proc/stat has a line
// per CPU and the interrupt counts before btime.
constexpr std::size_t kMaxStatBytes = 4096;
constexpr std::size_t kMaxSystemStatBytes = 1 << 20;
// Descriptors counted at most; more would be a leak the count still shows.
constexpr long kMaxCountedFds = 1 << 20;

// A file of the kernel's, whole when it fits in `longest` bytes.
std::optional<std::string> read_proc_file(const char* path, std::size_t longest)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(longest, '\0');
    std::size_t size = 0;
    ssize_t got = 0;
    while (size < longest && (got = ::read(fd, &text[size], longest - size)) > 0) size += static_cast<std::size_t>(got);
    ::close(fd);
    if (got < 0 || size == longest) return std::nullopt;
    text.resize(size);
    return text;
}

// The fields of /proc/self/stat after the command name, which may hold
// blanks and parentheses: fields[0] is the state (field 3 of proc(5)).
std::vector<std::string> stat_fields()
{
    const auto text = read_proc_file("/proc/self/stat", kMaxStatBytes);
    std::vector<std::string> fields;
    if (!text) return fields;
    const std::size_t name_end = text->rfind(')');
    if (name_end == std::string::npos) return fields;
    std::istringstream rest(text->substr(name_end + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

// Field N of proc(5) (from 1) as a number, when it is one.
std::optional<uint64_t> stat_field(const std::vector<std::string>& fields, std::size_t n)
{
    if (n < 3 || n - 3 >= fields.size()) return std::nullopt;
    const std::string& text = fields[n - 3];
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::strtoull(text.c_str(), nullptr, 10);
}

// When the machine booted, in seconds since 1970 (/proc/stat's btime).
std::optional<uint64_t> boot_time_s()
{
    const auto text = read_proc_file("/proc/stat", kMaxSystemStatBytes);
    if (!text) return std::nullopt;
    const std::size_t at = text->find("\nbtime ");
    if (at == std::string::npos) return std::nullopt;
    const char* digits = text->c_str() + at + 7;
    char* end = nullptr;
    const unsigned long long seconds = std::strtoull(digits, &end, 10);
    if (end == digits) return std::nullopt;
    return seconds;
}

std::optional<long> open_fds()
{
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) return std::nullopt;
    long count = 0;
    while (count < kMaxCountedFds && ::readdir(folder))
        ++count;
    ::closedir(folder);
    // ".", ".." and the descriptor reading the folder are not the agent's.
    return count - 3;
}

void gauge(std::string& out, const char* name, const char* type, const char* help, const std::string& value)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(" ").append(value).append("\n");
}

}  // namespace

void render_process_metrics(std::string& out)
{
    const long ticks_per_s = ::sysconf(_SC_CLK_TCK);
    const long page_bytes = ::sysconf(_SC_PAGESIZE);
    const std::vector<std::string> fields = stat_fields();
    // proc(5): utime 14, stime 15, starttime 22 (in clock ticks), vsize 23 (bytes), rss 24 (pages).
    const auto user = stat_field(fields, 14), system = stat_field(fields, 15);
    if (user && system && ticks_per_s > 0)
        gauge(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
              shortest_decimal_text(static_cast<int64_t>((*user + *system) * 1000 / ticks_per_s), 3));
    if (const auto rss = stat_field(fields, 24); rss && page_bytes > 0)
        gauge(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
              std::to_string(*rss * static_cast<uint64_t>(page_bytes)));
    if (const auto vsize = stat_field(fields, 23))
        gauge(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", std::to_string(*vsize));
    const auto started = stat_field(fields, 22);
    const auto booted = boot_time_s();
    if (started && booted && ticks_per_s > 0)
        gauge(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
              shortest_decimal_text(static_cast<int64_t>(*booted * 1000 + *started * 1000 / ticks_per_s), 3));
    if (const auto fds = open_fds())
        gauge(out, "process_open_fds", "gauge", "Number of open file descriptors.", std::to_string(*fds));
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        gauge(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
              std::to_string(static_cast<uint64_t>(limit.rlim_cur)));
}

}  // namespace agent
