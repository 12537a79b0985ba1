// The monitoring centre's reference store, written by `qmhost ingest`: the
// records and events of many sites' stores, each kept once under its
// (store, seq), and per store the contiguous high-water marks it confirms.
// StoreReader (store_reader.hpp) reads it as it reads a site's store.
#pragma once

#include "agent/mqtt_messages.hpp"
#include "agent/sqlite.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace agent {

struct IngestTotals {
    int64_t records = 0;     // kept for the first time
    int64_t events = 0;
    int64_t duplicates = 0;  // already kept: changed nothing
    int64_t foreign = 0;     // of a store another site sent first: refused
    std::string last_foreign;  // the latest of them, told as "SITE sent rows of STORE, which SITE sent first"
    // Unlike the row already kept under its (store, seq): refused, the kept one stays.
    int64_t reused = 0;
    std::string last_reused;  // the latest of them, told as "SITE's store STORE sent record 502 ..."
};

struct Confirmation {
    std::string site;
    mqtt::Confirm confirm;
};

class IngestStore {
public:
    // Opens or creates the file (WAL, synchronous FULL: a confirmation goes
    // out only for what a power cut cannot take back). Several ingests may
    // share one file. Throws StoreError.
    explicit IngestStore(const std::string& path);
    ~IngestStore();
    IngestStore(const IngestStore&) = delete;
    IngestStore& operator=(const IngestStore&) = delete;

    // Keeps the batch in one transaction and returns the marks of every
    // store it touched, to be published once it is committed. A store
    // belongs to the site that first sent it: another site's rows of it are
    // refused (counted in `foreign`), neither kept nor confirmed. A row
    // under a (store, seq) already kept is a duplicate when it is the same
    // (body and unit; for an event also its time, kind and detail), and is
    // refused (counted in `reused`) when it is not: the store issued that
    // seq twice, and the first row kept stays. Throws
    // StoreError when the transaction fails (nothing of it is kept).
    std::vector<Confirmation> commit(const std::vector<mqtt::Received>& batch, IngestTotals& totals);

    // The ingest's own MQTT client id, made once when the file is created
    // and kept in it: "qm-ingest-" and 13 random hex digits (23 characters).
    const std::string& client_id() const { return client_id_; }

private:
    struct Statements;
    int64_t advance_mark(int64_t mark, const std::string& store, mqtt::Received::Kind kind);
    std::optional<std::string> owner(const std::string& store);
    bool same_as_kept(const mqtt::Received& m);

    sqlite::Connection db_;
    std::unique_ptr<Statements> statements_;
    std::string client_id_;
};

}  // namespace agent
