#include "agent/database_file.hpp"

#include "agent/store.hpp"

#include <sys/stat.h>

namespace agent::database_file {

const std::string& existing_or_missing(const std::string& what, const std::string& path, const char* advice)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0)
        throw StoreError(what + " is an empty file, not a store: it is refused, not replaced (" + advice + ")");
    return path;
}

void refuse_damaged(sqlite::Connection& db, const std::string& what, const char* advice)
{
    std::string damage;
    try {
        sqlite::Statement check(db, "PRAGMA quick_check(3)");
        while (check.step()) {
            const std::string line = check.text(0);
            if (line == "ok") return;
            damage += (damage.empty() ? "" : "; ") + line;
        }
    } catch (const sqlite::Error& e) {
        damage = e.what();  // a page so damaged that the check itself stops
    }
    throw StoreError(what + " is damaged (" + damage + "): it is refused (" + advice + ")");
}

}  // namespace agent::database_file
