// qmhost's standard output carries only what it was asked for (reports,
// summaries, lists); the driver's and the host's diagnostic lines, which
// they write to std::cout, go to standard error or to a log file instead.
#pragma once

#include "tools/qmhost/output_file.hpp"

#include <optional>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

// The stream on file descriptor 1 for qmhost's own output.
std::ostream& program_output();

// While alive, std::cout writes to standard error or, with a path, to that
// file (appended): collected, and written whole at each commit and at the
// end. The original standard output stays reachable through
// program_output(). Throws std::runtime_error when the file cannot be opened.
class DriverLog {
public:
    explicit DriverLog(const std::string& path);
    ~DriverLog();
    DriverLog(const DriverLog&) = delete;
    DriverLog& operator=(const DriverLog&) = delete;

    // The log file with the lines written since the last call added, for
    // its owner to commit; null when the lines go to standard error.
    OutputFile* collected();

private:
    std::optional<OutputFile> file_;
    std::stringbuf lines_;
    std::streambuf* saved_;
};
