// The agent's own process in Prometheus' standard process_* families, read
// from /proc/self on each scrape: CPU seconds, resident and virtual memory,
// open and allowed file descriptors, and when the process started.
#pragma once

#include <string>

namespace agent {

// Appends the families it can read; one whose source is unreadable (no
// /proc) is left out rather than written as 0.
void render_process_metrics(std::string& out);

}  // namespace agent
