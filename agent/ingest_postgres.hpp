// The centre's data in PostgreSQL, written by `qmhost ingest --db
// postgresql://...`: the same rows, refusals and marks as the SQLite ingest
// store, for a centre of many ingest processes writing one database. Records
// and events go to tables partitioned a day each, the records' values as
// jsonb; the schema is centre_schema.sql.
//
// The marks come from what the database holds: each batch locks its
// stores' rows in qm_store (in store order, so two processes never wait on
// each other in a circle), keeps its rows, and moves each mark over the
// committed rows that follow it, all in one transaction. Whichever process
// commits, a mark never covers a row that is not committed.
#pragma once

#include "agent/ingest_backend.hpp"
#include "agent/postgres.hpp"

#include <chrono>
#include <optional>
#include <set>

namespace agent {

struct CentreOptions {
    // Whole days of partitions kept before today's (UTC); none: all kept.
    std::optional<int> keep_days;
};

class IngestPostgres final : public IngestBackend {
public:
    // Connects, and brings the schema to this version in one transaction
    // (several ingests starting at once take turns). Throws StoreError for a
    // server it cannot reach, a database holding tables not of this schema,
    // or a schema newer than this program's.
    IngestPostgres(const std::string& url, CentreOptions options);

    using IngestBackend::commit;
    // Each message's row, as COPY takes it into qm_record or qm_event.
    std::vector<std::string> prepare(const std::vector<mqtt::Received>& batch) const override;
    std::vector<Confirmation> commit(const std::vector<mqtt::Received>& batch, const std::vector<std::string>& rows,
                                     IngestTotals& totals) override;
    const std::string& client_id() const override { return client_id_; }
    // Once a minute and when the day turns: the partitions of yesterday,
    // today and tomorrow made, those past --keep-days dropped.
    void tend() override;

    // The UTC day (days since the epoch) of a time, whose rows go to qm_record_YYYYMMDD.
    static int64_t day_of(int64_t ms) { return ms >= 0 ? ms / 86400000 : (ms - 86399999) / 86400000; }

private:
    std::vector<Confirmation> commit_once(const std::vector<mqtt::Received>& batch, const std::vector<std::string>& rows,
                                          IngestTotals& added);
    void migrate();
    void ensure_day(const char* table, int64_t day);
    void read_partitions();
    // A day the ingest keeps partitions for: from the first day kept
    // (--keep-days, or a month back) to tomorrow; others' rows go to _other.
    bool in_window(int64_t day) const;

    pg::Connection db_;
    CentreOptions options_;
    std::string client_id_;
    std::set<int64_t> record_days_;
    std::set<int64_t> event_days_;
    int64_t tended_day_ = 0;
    std::chrono::steady_clock::time_point tended_at_{};
};

}  // namespace agent
