#include "agent/agent_log.hpp"

#include "agent/time_text.hpp"
#include "base/whole_lines.hpp"

#include <iostream>

namespace agent {

void log_line(const std::string& text) { write_whole_line(std::cerr.rdbuf(), "qmhost: " + text + "\n"); }

void log_stamped(const std::string& text) { log_line(iso8601_utc_ms(utc_now_ms()) + " " + text); }

}  // namespace agent
