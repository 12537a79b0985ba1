// What `qmhost ingest` keeps its messages in: the embedded SQLite ingest
// store (ingest_store.hpp) or the centre's PostgreSQL database
// (ingest_postgres.hpp). Both keep each row once under its (store, seq),
// refuse the same rows, and return the marks the commit made good.
#pragma once

#include "agent/mqtt_messages.hpp"

#include <cstdint>
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

    // A committed batch's counts added to these.
    void add(const IngestTotals& batch)
    {
        records += batch.records;
        events += batch.events;
        duplicates += batch.duplicates;
        foreign += batch.foreign;
        if (batch.foreign > 0) last_foreign = batch.last_foreign;
        reused += batch.reused;
        if (batch.reused > 0) last_reused = batch.last_reused;
    }
};

struct Confirmation {
    std::string site;
    mqtt::Confirm confirm;
};

class IngestBackend {
public:
    virtual ~IngestBackend() = default;

    // Keeps the batch in one transaction and returns the marks of every
    // store it touched, to be published once it is committed. A store
    // belongs to the site that first sent it: another site's rows of it are
    // refused (counted in `foreign`), neither kept nor confirmed. A row
    // under a (store, seq) already kept is a duplicate when it is the same
    // (body and unit; for an event also its time, kind and detail), and is
    // refused (counted in `reused`) when it is not: the store issued that
    // seq twice, and the first row kept stays. A mark covers only rows
    // committed by then, by this process or any other writing the same
    // database. Throws StoreError when the transaction fails (nothing of it
    // is kept).
    // `prepared` is what prepare(batch) made.
    virtual std::vector<Confirmation> commit(const std::vector<mqtt::Received>& batch,
                                             const std::vector<std::string>& prepared, IngestTotals& totals) = 0;
    std::vector<Confirmation> commit(const std::vector<mqtt::Received>& batch, IngestTotals& totals)
    {
        return commit(batch, prepare(batch), totals);
    }

    // What of a batch can be made before its commit, without the database
    // (PostgreSQL: each message's COPY row): made on the thread that reads
    // the next batch while this one commits, so the ingest's own work and
    // the database's overlap. None for a store that makes nothing ahead.
    virtual std::vector<std::string> prepare(const std::vector<mqtt::Received>& /*batch*/) const { return {}; }

    // The ingest's own MQTT client id, made once when the database is
    // created and kept in it: "qm-ingest-" and 13 random hex digits.
    virtual const std::string& client_id() const = 0;

    // Housekeeping between batches (the PostgreSQL centre's partitions
    // ahead and past its retention); nothing for a store without it.
    virtual void tend() {}
};

// "qm-ingest-" and 13 random hex digits (MQTT 3.1.1's 23 characters).
std::string new_ingest_client_id();

}  // namespace agent
