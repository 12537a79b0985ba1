#include "tools/qmhost/program_output.hpp"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

std::ostream& program_output()
{
    // Bound to standard output's buffer before anything redirects std::cout.
    static std::ostream out(std::cout.rdbuf());
    return out;
}

DriverLog::DriverLog(const std::string& path)
{
    program_output();
    if (!path.empty() && !file_.open(path, std::ios::out | std::ios::app | std::ios::binary))
        throw std::runtime_error("cannot write driver log " + path + ": " + std::strerror(errno));
    std::cout.flush();
    saved_ = std::cout.rdbuf(path.empty() ? std::cerr.rdbuf() : &file_);
}

DriverLog::~DriverLog()
{
    std::cout.flush();
    std::cout.rdbuf(saved_);
}
