#include "tools/qmhost/program_output.hpp"

#include <iostream>

std::ostream& program_output()
{
    // Bound to standard output's buffer before anything redirects std::cout.
    static std::ostream out(std::cout.rdbuf());
    return out;
}

DriverLog::DriverLog(const std::string& path)
{
    program_output();
    if (!path.empty()) file_.emplace(path);
    std::cout.flush();
    saved_ = std::cout.rdbuf(path.empty() ? std::cerr.rdbuf() : &lines_);
}

DriverLog::~DriverLog()
{
    std::cout.flush();
    std::cout.rdbuf(saved_);
    OutputFile* file = collected();
    if (file && !file->failed() && !file->commit()) std::cerr << "qmhost: " << file->problem() << std::endl;
}

OutputFile* DriverLog::collected()
{
    if (!file_) return nullptr;
    std::cout.flush();
    file_->add(lines_.str());
    lines_.str({});
    return &*file_;
}
