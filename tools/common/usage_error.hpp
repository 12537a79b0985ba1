// A command line a program cannot run; the text says which argument and why.
// qmhost and qmsim both answer it with one line and exit status 2.
#pragma once

#include <stdexcept>

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
