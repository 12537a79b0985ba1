// One agent per store: an exclusive lock on a file beside the store
// (STORE.lock), taken before the store, the lines or the broker are opened
// and held while the agent runs. Two agents on one store would each store
// every record and take turns on the broker's session. The kernel lets go
// of the lock however the holder ends, so a killed agent never leaves a
// stale one behind; the holder's process id is written into the file only
// to be named to the next one.
#pragma once

#include "base/usage_error.hpp"

#include <string>

namespace agent {

class StoreInUse : public ConfigError {
public:
    using ConfigError::ConfigError;
};

class StoreLock {
public:
    // Throws StoreInUse naming the store and the holder, or
    // std::runtime_error when the lock file cannot be opened.
    explicit StoreLock(const std::string& store_path);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    static std::string lock_path(const std::string& store_path) { return store_path + ".lock"; }

private:
    int fd_ = -1;
};

}  // namespace agent
