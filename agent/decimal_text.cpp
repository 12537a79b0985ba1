#include "agent/decimal_text.hpp"

namespace agent {

std::string decimal_text(int64_t value, int decimals)
{
    // The magnitude as unsigned, so INT64_MIN has one too.
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    if (decimals > 0) {
        const auto places = static_cast<std::size_t>(decimals);
        if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
        digits.insert(digits.size() - places, 1, '.');
    }
    return negative ? "-" + digits : digits;
}

std::string shortest_decimal_text(int64_t value, int decimals)
{
    std::string text = decimal_text(value, decimals);
    if (decimals <= 0) return text;
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text == "-0" ? "0" : text;
}

}  // namespace agent
