// A connection to the centre's PostgreSQL database through libpq, Debian's
// plain C client: statements with text parameters, COPY in, and each
// failure as a StoreError that names the server's SQLSTATE.
#pragma once

#include "agent/store.hpp"

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace agent::pg {

// The schema's steps (centre_schema.sql), built in.
extern const char* const kCentreSchema;
struct SchemaStep {
    int version;
    std::string sql;
};
// The steps in order; throws std::logic_error for a file not made of "-- step N" sections numbered from 1.
std::vector<SchemaStep> schema_steps(const std::string& text);

// The database's URL as messages tell it: a password in it shown as "...".
std::string without_password(std::string url);

class Error : public StoreError {
public:
    Error(const std::string& what, std::string sqlstate) : StoreError(what), sqlstate_(std::move(sqlstate)) {}
    const std::string& sqlstate() const { return sqlstate_; }
    // Another transaction was in the way (a deadlock, a serialisation failure): the same work may be tried again.
    bool retry() const { return sqlstate_ == "40P01" || sqlstate_ == "40001"; }

private:
    std::string sqlstate_;
};

struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// Text parameters; nullopt is NULL.
using Params = std::vector<std::optional<std::string>>;

class Connection {
public:
    // Throws StoreError when the server cannot be reached or refuses.
    explicit Connection(const std::string& url);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Result exec(const std::string& sql, const Params& params = {});
    // One value of the first row; nullopt for no row or NULL.
    std::optional<std::string> value(const std::string& sql, const Params& params = {});
    // COPY ... FROM STDIN with `data` in COPY's text form.
    void copy_in(const std::string& copy_sql, const std::string& data);
    // Rolls back a transaction left open by a failure; never throws.
    void rollback() noexcept;

private:
    PGconn* conn_ = nullptr;
    std::string where_;  // the database, for messages, without its password
};

// Texts for the statements and COPY.
std::string array_literal(const std::vector<std::string>& items);  // {"a","b"}
void append_copy_text(std::string& out, const std::string& field);  // escaped for COPY's text form
std::string hex(const std::vector<unsigned char>& bytes);
// ms since the epoch as an exact timestamptz expression's operand, and back.
std::string timestamp_text(int64_t ms);

}  // namespace agent::pg
