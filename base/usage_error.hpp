// A command line a program cannot run, or a file named on it that it cannot
// run with; the text says which argument or member and why. qmhost and qmsim
// both answer either with one line and exit status 2, nothing opened.
#pragma once

#include <stdexcept>

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A mistake in a file (the device JSON, a state file): the text names the
// file and the member; no pointer to --help follows it.
class ConfigError : public UsageError {
public:
    using UsageError::UsageError;
};
