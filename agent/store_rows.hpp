// A store's rows as every reader decodes them: the columns of the record and
// event tables named once, in one order, and one decoder per table. A site's
// store and a centre's ingest store (ingest_store.hpp) share the layout but
// not every column: what one lacks is selected as a constant.
#pragma once

#include "agent/sqlite.hpp"
#include "agent/store.hpp"
#include "agent/store_reader.hpp"

#include <string>

namespace agent {

// Site: a site's store (bodies may be packed against keyframes); SitePlain:
// one of the first version, every body as the driver handed it, read as it
// is until its agent brings it forward; Ingest: a centre's.
enum class StoreKind { Site, SitePlain, Ingest };

// Which of the two a site's store is.
StoreKind site_kind(sqlite::Connection& db);

// A read-only connection made ready beside a writer; throws StoreError when
// the file is not a store of either kind.
void open_for_reading(sqlite::Connection& db);

// The table a stream's rows live in, in both kinds of store.
const char* table_of(Stream stream);

// "SELECT <columns> FROM <table>", the columns in the decoder's order.
std::string select_records(StoreKind kind);
std::string select_events(StoreKind kind);

// The current row of a statement made from select_records / select_events.
StoredRecord decode_record(const sqlite::Statement& row);
StoredEvent decode_event(const sqlite::Statement& row);

}  // namespace agent
