// An output named on the command line: a file, truncated at start, or
// standard output for "-".
#pragma once

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "tools/qmhost/program_output.hpp"

class OutputFile {
public:
    explicit OutputFile(const std::string& path)
    {
        if (path.empty() || path == "-") return;
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    std::ostream& stream() { return file_.is_open() ? file_ : program_output(); }

private:
    std::ofstream file_;
};
