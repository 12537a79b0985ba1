// A thin RAII layer over SQLite's C interface for the store: one connection,
// prepared statements with typed binds and columns, errors as exceptions
// carrying SQLite's own message and code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace agent::sqlite {

// A failed SQLite call: its result code (SQLITE_FULL, SQLITE_IOERR, ...) and
// the connection's message.
class Error : public std::runtime_error {
public:
    Error(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

class Connection {
public:
    // flags: SQLITE_OPEN_READONLY or SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE.
    Connection(const std::string& path, int flags);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs one or more statements without results.
    void execute(const std::string& sql);
    // The first column of the first row as an integer (a PRAGMA, a count).
    int64_t integer(const std::string& sql);
    sqlite3* handle() const { return db_; }
    const std::string& path() const { return path_; }
    [[noreturn]] void fail(const std::string& doing, int code) const;

private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Connection& connection, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds by 1-based index; an empty optional text binds NULL.
    Statement& bind(int index, int64_t value);
    Statement& bind(int index, const std::string& value);
    Statement& bind_null(int index);
    Statement& bind_blob(int index, const std::vector<unsigned char>& value);

    // True while a row is there to read; false when done.
    bool step();
    // Steps to the end, for statements without rows.
    void run();
    // Ready for new binds and steps.
    void reset();

    int64_t integer(int column) const;
    std::string text(int column) const;
    bool is_null(int column) const;
    std::vector<unsigned char> blob(int column) const;
    sqlite3_stmt* handle() const { return statement_; }

private:
    Connection& connection_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace agent::sqlite
