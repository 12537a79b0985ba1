// qmhost's standard output carries only what it was asked for (reports,
// summaries, lists); the driver's and the host's diagnostic lines, which
// they write to std::cout, go to standard error or to a log file instead.
#pragma once

#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

// The stream on file descriptor 1 for qmhost's own output.
std::ostream& program_output();

// While alive, std::cout writes to standard error or, with a path, to that
// file (appended); the original standard output stays reachable through
// program_output(). Throws std::runtime_error when the file cannot be opened.
class DriverLog {
public:
    explicit DriverLog(const std::string& path);
    ~DriverLog();
    DriverLog(const DriverLog&) = delete;
    DriverLog& operator=(const DriverLog&) = delete;

private:
    std::filebuf file_;
    std::streambuf* saved_;
};
