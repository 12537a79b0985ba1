// Reading the centre's PostgreSQL database as StoreReader reads a store:
// rows by site, unit and time, each with its site and store.
#pragma once

#include "agent/postgres.hpp"
#include "agent/store_reader.hpp"

#include <functional>
#include <string>
#include <vector>

namespace agent {

class CentreReader {
public:
    // `site`: only that site's rows (empty: every site's). Throws StoreError
    // for a server it cannot reach or a database without the centre's tables.
    CentreReader(const std::string& url, std::string site);

    // Rows in time order (newest first when asked), fetched a thousand at a time.
    void each_record(const StoreQuery& query, const std::function<bool(const StoredRecord&)>& visit);
    void each_event(const StoreQuery& query, const std::function<bool(const StoredEvent&)>& visit);
    std::vector<std::string> units();
    bool holds_many_stores() const { return true; }

private:
    // Runs `select` (its parameters $1 site, $2 unit, $3 from, $4 to) under a cursor.
    void each_row(const std::string& select, const StoreQuery& query, const std::function<bool(PGresult*, int)>& row);

    pg::Connection db_;
    std::string site_;
};

}  // namespace agent
