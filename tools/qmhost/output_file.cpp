#include "tools/qmhost/output_file.hpp"

#include "base/usage_error.hpp"
#include "tools/qmhost/program_output.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kStandardOutput = "-";

std::string reason() { return std::strerror(errno); }

}  // namespace

OutputFile::OutputFile(std::string path, std::size_t record_size)
    : path_(std::move(path)), name_(path_ == kStandardOutput ? "standard output" : path_), record_size_(record_size)
{
    if (path_ == kStandardOutput) {
        fd_ = STDOUT_FILENO;
        return;
    }
    open();
    if (failed_) throw std::runtime_error(problem_);
}

OutputFile::~OutputFile()
{
    if (owned_) ::close(fd_);
}

void OutputFile::open()
{
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot write " + path_ + ": " + reason());
    if (owned_) ::close(fd_);
    fd_ = fd;
    owned_ = true;
    failed_ = false;
    struct stat st {};
    if (record_size_ == 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const off_t partial = st.st_size % static_cast<off_t>(record_size_);
    if (partial == 0) return;
    // A run that ended while writing a record leaves part of it; the next
    // record would be read out of step behind it.
    if (::ftruncate(fd_, st.st_size - partial) != 0)
        return fail("cannot cut the partial record at the end of " + path_ + ": " + reason());
    std::cerr << "qmhost: " << path_ << " ended in a partial record: cut its last " << partial << " bytes"
              << std::endl;
}

void OutputFile::fail(std::string problem)
{
    failed_ = true;
    problem_ = std::move(problem);
}

void OutputFile::add(const char* data, std::size_t size)
{
    if (!failed_) pending_.append(data, size);
}

off_t OutputFile::end_before_write() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    // Standard output may be a file opened without O_APPEND (">").
    const int flags = ::fcntl(fd_, F_GETFL);
    return flags >= 0 && (flags & O_APPEND) ? st.st_size : ::lseek(fd_, 0, SEEK_CUR);
}

bool OutputFile::commit()
{
    std::string bytes;
    bytes.swap(pending_);
    if (failed_) return false;
    if (bytes.empty()) return true;
    if (!owned_) program_output().flush();  // keeps order with what went through the stream
    const off_t before = end_before_write();
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            fail("cannot write " + name_ + ": " + (n == 0 ? std::string("the write took no bytes") : reason()));
            cut_back(before, written);
            return false;
        }
    }
    return true;
}

void OutputFile::cut_back(off_t size, std::size_t written)
{
    if (written == 0) return;
    if (size < 0 || ::ftruncate(fd_, size) != 0) {
        problem_ += "; " + std::to_string(written) + " bytes of the cycle were written and could not be cut back" +
                    (size < 0 ? std::string() : ": " + reason());
        return;
    }
    ::lseek(fd_, size, SEEK_SET);
}

bool OutputFile::reopen()
{
    if (!owned_) return true;
    open();
    return !failed_;
}

namespace {

// What tells one file from another: the device and inode of a file that
// exists, else the path made absolute. Character devices (/dev/null) take
// any number of writers; they have none.
std::string file_identity(const std::string& path)
{
    if (path == kStandardOutput) return "standard output";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode)) return {};
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    // Made absolute first: a relative name whose first part does not exist
    // yet ("x") is otherwise left relative while "./x" is not.
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return "path " + (error ? path : absolute.string());
}

}  // namespace

void refuse_shared_outputs(const std::vector<std::pair<std::string, std::string>>& outputs)
{
    std::vector<std::pair<std::string, std::string>> seen;  // identity, option
    for (const auto& [option, path] : outputs) {
        if (path.empty()) continue;
        const std::string identity = file_identity(path);
        if (identity.empty()) continue;
        for (const auto& [other_identity, other_option] : seen)
            if (other_identity == identity)
                throw UsageError(other_option + " and " + option + " name one file (" + path +
                                 "): give each output its own");
        seen.emplace_back(identity, option);
    }
}
