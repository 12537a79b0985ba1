// Numbers as the unit means them, written from integers: a register of 312
// tenths is "31.2", never the float nearest to it printed in full.
#pragma once

#include <cstdint>
#include <string>

namespace agent {

// `value` x 10^-decimals with exactly `decimals` digits after the point:
// (312, 1) "31.2", (240, 1) "24.0", (-5, 1) "-0.5", (7, 0) "7".
std::string decimal_text(int64_t value, int decimals);

// The same without trailing zeros after the point: (480, 3) "0.48",
// (500, 3) "0.5", (1000, 3) "1".
std::string shortest_decimal_text(int64_t value, int decimals);

}  // namespace agent
