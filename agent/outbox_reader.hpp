// The publisher's view of a store's outbox: the rows the centre has not
// confirmed, read on a connection of its own (read-only; WAL lets it run
// beside the writer), so publishing never waits for a poller's commit.
#pragma once

#include "agent/sqlite.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"
#include "agent/store_rows.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace agent {

// Which unconfirmed rows to read: seqs from `from` to `to` (inclusive),
// and of those acknowledged by the broker only the ones acknowledged
// before `acked_before` (never-acknowledged rows always come).
struct OutboxRange {
    int64_t from = 1;
    int64_t to = INT64_MAX;
    int64_t acked_before = INT64_MAX;
    int64_t limit = 64;
};

class OutboxReader {
public:
    // Throws StoreError when the file is not a store.
    explicit OutboxReader(const std::string& path);

    void each_record(const OutboxRange& range, const std::function<void(const StoredRecord&)>& visit);
    void each_event(const OutboxRange& range, const std::function<void(const StoredEvent&)>& visit);

    // The highest seq handed out so far (0: none), kept even when the row is gone.
    int64_t last_seq(Stream stream);
    // Every row below it is confirmed or gone; last_seq + 1 when none waits.
    int64_t unconfirmed_from(Stream stream);
    int64_t unconfirmed_count(Stream stream);
    // The highest unconfirmed seq the broker acknowledged (0: none).
    int64_t last_acked(Stream stream);

private:
    sqlite::Connection db_;
    StoreKind kind_ = StoreKind::Site;
};

}  // namespace agent
