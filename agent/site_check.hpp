// serve --check: the plan a site file makes (its lines, units, intervals and
// where the data goes) and every check the agent would meet starting it, run
// without starting anything. The first failure ends it, with the status the
// agent would have stopped with.
#pragma once

#include "agent/site_file.hpp"

#include <ostream>
#include <string>

namespace agent {

// The plan, one line a part: "line 0: rtu /dev/ttyUSB0 9600 8N1, every 5 s".
std::string site_plan_text(const SiteFile& site);

// Writes the plan and one line per check passed to `out`; a failure throws
// as the agent would (StartRefused, StoreInUse: exit status 2), or is told
// in `failure` with its status: 1 a unit's line not reached, the broker's
// check status (mqtt::check_status) for the broker.
int check_site_start(const SiteFile& site, std::ostream& out, std::string& failure);

}  // namespace agent
