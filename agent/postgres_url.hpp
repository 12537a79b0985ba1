// Whether a --db names a PostgreSQL database (postgresql://...) rather than
// a file: known to every build, with or without libpq.
#pragma once

#include <string>

namespace agent {

inline bool is_postgres_url(const std::string& db)
{
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

}  // namespace agent
