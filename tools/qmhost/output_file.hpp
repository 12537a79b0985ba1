// An output named on the command line: a file opened for appending, never
// truncated, or standard output for "-". What a cycle writes is collected
// and committed in one write, so that the file holds it whole or not at all.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class OutputFile {
public:
    // `record_size`: the file holds records of that size, and a partial one
    // an earlier run left at its end is cut (said on standard error). Throws
    // std::runtime_error when the file cannot be opened.
    explicit OutputFile(std::string path, std::size_t record_size = 0);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void add(const char* data, std::size_t size);
    void add(const std::string& text) { add(text.data(), text.size()); }

    // Writes what was added since the last commit. When the write fails or
    // falls short, the bytes that did land are cut back and the file takes
    // nothing more: false, with problem() saying why.
    bool commit();
    // Closes the file and opens it again by name (logrotate has renamed it);
    // false, with problem() saying why, when it cannot be opened.
    bool reopen();

    bool failed() const { return failed_; }
    const std::string& problem() const { return problem_; }
    // The path as given, "standard output" for "-".
    const std::string& name() const { return name_; }

private:
    void open();
    void fail(std::string problem);
    // Where the file ends before a write, to cut back to; -1 when it is no
    // regular file, which cannot be cut.
    off_t end_before_write() const;
    void cut_back(off_t size, std::size_t written);

    std::string path_;
    std::string name_;
    std::size_t record_size_;
    int fd_ = -1;
    bool owned_ = false;  // standard output is not ours to close
    std::string pending_;
    bool failed_ = false;
    std::string problem_;
};

// The files a command line names as outputs, by option. Throws UsageError
// when two of them are one file (the same path, or the same file by another
// name): their lines or records would interleave.
void refuse_shared_outputs(const std::vector<std::pair<std::string, std::string>>& outputs);
