// Lines written by several threads at once, each kept whole: what the
// threads write to std::cout (the driver's own log lines among it) is
// collected per thread and passed on a complete line at a time, under the
// same lock as the agent's own lines to standard error.
#pragma once

#include <streambuf>
#include <string>

// Writes `line` (ending in '\n') to `target` in one piece.
void write_whole_line(std::streambuf* target, const std::string& line);

// While alive, std::cout goes through it to the buffer it had before. One
// for the program: the part-written line is the thread's own, not the
// object's. A thread's last line without a newline is written when the
// object goes away only if it is the thread that destroys it.
class WholeLineCout : private std::streambuf {
public:
    WholeLineCout();
    ~WholeLineCout() override;
    WholeLineCout(const WholeLineCout&) = delete;
    WholeLineCout& operator=(const WholeLineCout&) = delete;

private:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;
    void pass_on_complete_lines();

    std::streambuf* target_;
};
