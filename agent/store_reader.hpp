// Reading a store (store.hpp) while an agent writes it: a read-only
// connection, which WAL mode lets run beside the writer without blocking it.
// It reads a centre's ingest store (ingest_store.hpp) the same way: rows
// then carry their site and store, and every row is confirmed.
#pragma once

#include "agent/sqlite.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace agent {

// Rows of one unit (empty: all) from from_ms (inclusive) to to_ms
// (exclusive), both UTC ms, after a seq, at most `limit` of them (0: all);
// newest first: the latest `limit` of them, the newest first.
struct StoreQuery {
    std::string unit;
    std::optional<int64_t> from_ms;
    std::optional<int64_t> to_ms;
    int64_t after_seq = 0;
    int64_t limit = 0;
    bool newest_first = false;
};

struct StoredRecord {
    int64_t seq = 0;
    std::string unit;
    int slave = 0;
    int64_t device_id = 0;
    int64_t ts_ms = 0;
    std::string local_time;
    bool clock_ok = false;
    int rtype = 0;
    std::optional<int64_t> acked_ms;
    bool confirmed = false;
    std::vector<unsigned char> body;
    std::string site;   // an ingest store's rows only
    std::string store;
};

struct StoredEvent {
    int64_t seq = 0;
    std::string unit;  // empty: the agent's own
    int64_t ts_ms = 0;
    std::string kind;
    std::string detail;  // a JSON object
    std::optional<int64_t> acked_ms;
    bool confirmed = false;
    std::string site;   // an ingest store's rows only
    std::string store;
};

class StoreReader {
public:
    // Throws StoreError (store.hpp) when the file is missing or not a store.
    explicit StoreReader(const std::string& path);

    // Each row in turn until `visit` returns false. One unit's rows come in
    // time order (its index), all units' in store order (seq).
    void each_record(const StoreQuery& query, const std::function<bool(const StoredRecord&)>& visit);
    void each_event(const StoreQuery& query, const std::function<bool(const StoredEvent&)>& visit);

    // The units the store holds rows of, by name.
    std::vector<std::string> units();

    const std::string& store_id() const { return store_id_; }
    const std::string& site() const { return site_; }
    // An ingest store: many sites' stores in one file.
    bool holds_many_stores() const { return ingest_; }

private:
    sqlite::Connection db_;
    bool ingest_ = false;
    bool plain_ = false;  // a site's store of the first version: no keyframes
    std::string store_id_;
    std::string site_;
};

}  // namespace agent
