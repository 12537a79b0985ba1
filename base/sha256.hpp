// SHA-256, for the site file's hash and the control token's comparison.
#pragma once

#include <string>

// SHA-256 of `bytes`, 64 hex digits, as sha256sum prints it.
std::string sha256_hex(const std::string& bytes);
