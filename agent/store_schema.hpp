// A site store's tables and their version: a fresh file gets the tables of
// this version; a file of an older version is brought forward one step at a
// time, and one this program cannot bring forward (or a newer one) is
// refused by name rather than read wrongly.
#pragma once

#include "agent/sqlite.hpp"

#include <optional>
#include <string>
#include <vector>

namespace agent::store_schema {

// The version this program writes (meta's "schema_version").
constexpr int kVersion = 2;

// A new store's page size: a commit rewrites the newest leaf of each table
// and index, so what it writes scales with the page, not the rows.
constexpr int kPageBytes = 1024;

// The tables and indexes of kVersion (CREATE ... IF NOT EXISTS).
extern const char kTables[];

// The SQL that takes a store from version `from` to from + 1.
struct Step {
    int from;
    const char* sql;
};
// This program's steps, in order of `from`.
const std::vector<Step>& steps();

// Brings the store `db` whose meta says `version` up to `target` with
// `steps`, inside the caller's transaction, and records the new version.
// Throws StoreError naming the file and both versions when a step is
// missing, the version is newer than `target` or none is recorded.
void migrate(sqlite::Connection& db, const std::optional<std::string>& version, int target,
             const std::vector<Step>& steps);

}  // namespace agent::store_schema
