#include "base/whole_lines.hpp"

#include <iostream>
#include <mutex>

namespace {

std::mutex& output_lock()
{
    static std::mutex lock;
    return lock;
}

// The calling thread's line so far.
std::string& thread_pending()
{
    thread_local std::string pending;
    return pending;
}

}  // namespace

void write_whole_line(std::streambuf* target, const std::string& line)
{
    std::lock_guard<std::mutex> hold(output_lock());
    target->sputn(line.data(), static_cast<std::streamsize>(line.size()));
    target->pubsync();
}

WholeLineCout::WholeLineCout() : target_(std::cout.rdbuf())
{
    std::cout.flush();
    std::cout.rdbuf(this);
}

WholeLineCout::~WholeLineCout()
{
    std::string& pending = thread_pending();
    if (!pending.empty() && pending.back() != '\n') pending += '\n';
    pass_on_complete_lines();
    std::cout.rdbuf(target_);
}

WholeLineCout::int_type WholeLineCout::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    thread_pending() += ch;
    if (ch == '\n') pass_on_complete_lines();
    return c;
}

std::streamsize WholeLineCout::xsputn(const char* text, std::streamsize count)
{
    std::string& pending = thread_pending();
    pending.append(text, static_cast<std::size_t>(count));
    if (pending.find('\n') != std::string::npos) pass_on_complete_lines();
    return count;
}

// A flush in mid-line (std::flush) waits for the rest of the line.
int WholeLineCout::sync()
{
    pass_on_complete_lines();
    return 0;
}

void WholeLineCout::pass_on_complete_lines()
{
    std::string& pending = thread_pending();
    const auto end = pending.rfind('\n');
    if (end == std::string::npos) return;
    write_whole_line(target_, pending.substr(0, end + 1));
    pending.erase(0, end + 1);
}
