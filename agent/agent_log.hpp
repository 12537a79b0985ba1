// The agent's own lines on standard error, for the journal: each written
// whole, never cut into by another thread's output.
#pragma once

#include <string>

namespace agent {

// "qmhost: TEXT".
void log_line(const std::string& text);
// "qmhost: TIME TEXT", the time now in UTC with milliseconds: the lines the
// store and the publisher tell as they run.
void log_stamped(const std::string& text);

}  // namespace agent
