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

enum class StoreKind { Site, Ingest };

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
