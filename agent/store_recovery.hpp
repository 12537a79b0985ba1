// A damaged store checked and recovered: what SQLite can still read is
// copied into a new store under the old name, with the same store id and
// seqs (the centre knows the rows by them), and the damaged file is put
// aside, never deleted. Used by qmhost store check and store recover; the
// caller holds the store's lock, so no agent writes meanwhile.
#pragma once

#include "agent/events.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace agent {

// SQLite's integrity check of the store at `path`: {"ok"} when whole, else
// what is wrong, at most `most` lines. An empty file or one that is no
// database is named as such; never throws for a damaged file.
std::vector<std::string> check_store(const std::string& path, int most = 20);

struct Recovery {
    std::string damaged_file;  // where the damaged store now is
    int64_t records_kept = 0;
    int64_t events_kept = 0;
    SeqRanges records_lost;
    SeqRanges events_lost;
    bool store_id_kept = false;  // false: the meta table was lost, a new id was given
};

// Moves the store at `path` (and its -wal) aside, copies what can be read
// into a new store at `path` for `site`, and writes a store_recovered event
// there. Throws StoreError when the new store cannot be written (the damaged
// file is then moved back).
Recovery recover_store(const std::string& path, const std::string& site);

}  // namespace agent
