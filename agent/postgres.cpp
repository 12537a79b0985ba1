#include "agent/postgres.hpp"

#include "agent/time_text.hpp"

#include <cstdlib>
#include <stdexcept>

namespace agent::pg {

std::vector<SchemaStep> schema_steps(const std::string& text)
{
    static const std::string kMark = "\n-- step ";
    std::vector<SchemaStep> steps;
    std::size_t at = text.find(kMark);
    while (at != std::string::npos) {
        const std::size_t number = at + kMark.size();
        const std::size_t line_end = text.find('\n', number);
        const int version = std::atoi(text.substr(number, line_end - number).c_str());
        if (version != static_cast<int>(steps.size()) + 1) throw std::logic_error("schema steps out of order");
        const std::size_t next = text.find(kMark, line_end);
        steps.push_back({version, text.substr(line_end, next == std::string::npos ? next : next - line_end)});
        at = next;
    }
    if (steps.empty()) throw std::logic_error("no schema steps");
    return steps;
}

namespace {

std::string first_line(const char* text)
{
    std::string s = text ? text : "";
    const std::size_t end = s.find('\n');
    return end == std::string::npos ? s : s.substr(0, end);
}

}  // namespace

// In the user part or as a `password=` parameter.
std::string without_password(std::string url)
{
    const std::size_t scheme = url.find("://");
    const std::size_t at = url.find('@', scheme);
    const std::size_t colon = url.find(':', scheme + 3);
    if (scheme != std::string::npos && at != std::string::npos && colon != std::string::npos && colon < at)
        url = url.substr(0, colon) + ":...@" + url.substr(at + 1);
    for (std::size_t from = url.find('?'); from != std::string::npos && from < url.size();) {
        const std::size_t end = std::min(url.find('&', from + 1), url.size());
        if (url.compare(from + 1, 9, "password=") == 0) url.replace(from + 10, end - from - 10, "...");
        from = url.find('&', from + 1);
    }
    return url;
}

Connection::Connection(const std::string& url) : where_(without_password(url))
{
    conn_ = PQconnectdb(url.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string why = first_line(PQerrorMessage(conn_));
        PQfinish(conn_);
        conn_ = nullptr;
        throw StoreError(where_ + ": cannot connect: " + why);
    }
    exec("SET client_min_messages = warning");
}

Connection::~Connection()
{
    if (conn_) PQfinish(conn_);
}

Result Connection::exec(const std::string& sql, const Params& params)
{
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    // Without parameters, as a simple query: the schema's steps are several statements each.
    Result r(params.empty() ? PQexec(conn_, sql.c_str())
                            : PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                           nullptr, nullptr, 0));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
    const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
    throw Error(where_ + ": " + first_line(PQerrorMessage(conn_)), state ? state : "");
}

std::optional<std::string> Connection::value(const std::string& sql, const Params& params)
{
    const Result r = exec(sql, params);
    if (PQntuples(r.get()) == 0 || PQgetisnull(r.get(), 0, 0)) return std::nullopt;
    return std::string(PQgetvalue(r.get(), 0, 0));
}

void Connection::copy_in(const std::string& copy_sql, const std::string& data)
{
    Result start(PQexec(conn_, copy_sql.c_str()));
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) {
        const char* state = start ? PQresultErrorField(start.get(), PG_DIAG_SQLSTATE) : nullptr;
        throw Error(where_ + ": " + first_line(PQerrorMessage(conn_)), state ? state : "");
    }
    const bool sent = PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) == 1;
    PQputCopyEnd(conn_, sent ? nullptr : "the copy was cut short");
    bool failed = false;
    std::string state;
    while (Result r{PQgetResult(conn_)}) {
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            failed = true;
            if (const char* s = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE)) state = s;
        }
    }
    if (failed || !sent) throw Error(where_ + ": " + first_line(PQerrorMessage(conn_)), state);
}

void Connection::rollback() noexcept
{
    if (PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
}

std::string array_literal(const std::vector<std::string>& items)
{
    std::string out = "{";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ',';
        out += '"';
        for (char c : item) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

void append_copy_text(std::string& out, const std::string& field)
{
    if (field.find_first_of("\\\t\n\r") == std::string::npos) {
        out += field;  // the common case: nothing to escape
        return;
    }
    for (char c : field) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
}

std::string hex(const std::vector<unsigned char>& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) out += {kHex[b >> 4], kHex[b & 0xF]};
    return out;
}

std::string timestamp_text(int64_t ms) { return iso8601_utc_ms(ms); }

}  // namespace agent::pg
