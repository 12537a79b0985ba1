// The monitoring centre's reference store, written by `qmhost ingest`: the
// records and events of many sites' stores, each kept once under its
// (store, seq), and per store the contiguous high-water marks it confirms.
// StoreReader (store_reader.hpp) reads it as it reads a site's store.
#pragma once

#include "agent/ingest_backend.hpp"
#include "agent/sqlite.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace agent {

class IngestStore final : public IngestBackend {
public:
    // Opens or creates the file (WAL, synchronous FULL: a confirmation goes
    // out only for what a power cut cannot take back). Several ingests may
    // share one file. Throws StoreError.
    explicit IngestStore(const std::string& path);
    ~IngestStore();
    IngestStore(const IngestStore&) = delete;
    IngestStore& operator=(const IngestStore&) = delete;

    // IngestBackend's, under BEGIN IMMEDIATE: one writer at a time.
    using IngestBackend::commit;
    std::vector<Confirmation> commit(const std::vector<mqtt::Received>& batch, const std::vector<std::string>& prepared,
                                     IngestTotals& totals) override;
    const std::string& client_id() const override { return client_id_; }

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
