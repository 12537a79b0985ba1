// Checks a database file passes before a program writes to it: the site
// store and the centre's ingest store alike. Only a missing file is made
// anew: one that is there but empty lost its content (truncated, a copy
// gone wrong), and a new database in its place would hide the loss.
#pragma once

#include "agent/sqlite.hpp"

#include <string>

namespace agent::database_file {

// `path` itself, or throws StoreError when it is an empty regular file.
// `what` names it ("store FILE"); `advice` says how to recover.
const std::string& existing_or_missing(const std::string& what, const std::string& path, const char* advice);

// SQLite's quick check over every page (no index against its table):
// throws StoreError naming the damage unless it says "ok".
void refuse_damaged(sqlite::Connection& db, const std::string& what, const char* advice);

}  // namespace agent::database_file
