#include "agent/sqlite.hpp"

namespace agent::sqlite {

Connection::Connection(const std::string& path, int flags) : path_(path)
{
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error("cannot open store " + path + ": " + message, rc);
    }
    sqlite3_extended_result_codes(db_, 1);
}

Connection::~Connection()
{
    sqlite3_close(db_);
}

void Connection::fail(const std::string& doing, int code) const
{
    throw Error("store " + path_ + ": " + doing + ": " + sqlite3_errmsg(db_), code);
}

void Connection::execute(const std::string& sql)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return;
    const std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw Error("store " + path_ + ": " + text, rc);
}

int64_t Connection::integer(const std::string& sql)
{
    Statement statement(*this, sql);
    return statement.step() ? statement.integer(0) : 0;
}

Statement::Statement(Connection& connection, const std::string& sql) : connection_(connection)
{
    const int rc = sqlite3_prepare_v3(connection.handle(), sql.c_str(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
    if (rc != SQLITE_OK) connection.fail("cannot prepare \"" + sql + "\"", rc);
}

Statement::~Statement()
{
    sqlite3_finalize(statement_);
}

Statement& Statement::bind(int index, int64_t value)
{
    const int rc = sqlite3_bind_int64(statement_, index, value);
    if (rc != SQLITE_OK) connection_.fail("cannot bind", rc);
    return *this;
}

Statement& Statement::bind(int index, const std::string& value)
{
    const int rc = sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) connection_.fail("cannot bind", rc);
    return *this;
}

Statement& Statement::bind_null(int index)
{
    const int rc = sqlite3_bind_null(statement_, index);
    if (rc != SQLITE_OK) connection_.fail("cannot bind", rc);
    return *this;
}

Statement& Statement::bind_blob(int index, const std::vector<unsigned char>& value)
{
    const int rc = sqlite3_bind_blob(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) connection_.fail("cannot bind", rc);
    return *this;
}

bool Statement::step()
{
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    // The message first: resetting the statement may replace it.
    const std::string message = sqlite3_errmsg(connection_.handle());
    sqlite3_reset(statement_);
    throw Error("store " + connection_.path() + ": " + message, rc);
}

void Statement::run()
{
    while (step()) {
    }
    reset();
}

void Statement::reset()
{
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

std::string Statement::text(int column) const
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
}

bool Statement::is_null(int column) const
{
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::vector<unsigned char> Statement::blob(int column) const
{
    const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
    return data ? std::vector<unsigned char>(data, data + size) : std::vector<unsigned char>();
}

}  // namespace agent::sqlite
